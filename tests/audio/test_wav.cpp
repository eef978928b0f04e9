// GETWAVINFO, READWAV and WRITEWAV: files built byte by byte pin the sample
// values, the chunk search, the order of the messages and the bytes written;
// files of sox, Python's wave module and scipy must read as scipy reads them,
// and scipy and sox must read ours with the same samples (skipped when
// Debian's python3 with scipy is missing; the sox parts when sox is).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>

#include "kexio/io.h"
#include "support/scratch.h"
#include "support/values.h"

namespace {

using namespace kexio_test;
using V = std::vector<double>;
constexpr std::uint32_t kAll = Kex::kWholeCall;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A chunk with its size (big-endian in RIFX files) and, for odd sizes, the
// pad byte.
std::string chunk(const std::string& id, const std::string& data, bool big = false) {
  return id + (big ? be : le)(data.size(), 4) + data + std::string(data.size() % 2, '\0');
}
std::string form(const std::string& body, const std::string& type = "WAVE") {
  return chunk("RIFF", type + body);
}
// A 16-byte format record with the byte rate and alignment as given.
std::string fmt16(unsigned tag, unsigned ch, std::uint32_t rate, unsigned bits, std::uint32_t avg,
                  unsigned align) {
  return le(tag, 2) + le(ch, 2) + le(rate, 4) + le(avg, 4) + le(align, 2) + le(bits, 2);
}
// Bytes per sample of integer PCM: 1 for up to 8 bits, 2, 3 or 4 beyond.
unsigned width_of(unsigned bits) {
  return (bits + 7) / 8;
}
std::string pcm(unsigned ch, unsigned bits, std::uint32_t rate = 8000, unsigned tag = 1) {
  unsigned width = tag == 3 ? bits / 8 : width_of(bits);
  return chunk("fmt ", fmt16(tag, ch, rate, bits, rate * ch * width, ch * width));
}
// An extensible format chunk whose sub-format GUID starts with the 32-bit
// tag given; guid_tail replaces the GUID's fixed last 12 bytes.
const std::string kGuidTail("\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 12);
std::string extensible(unsigned ch, unsigned bits, std::uint32_t sub, unsigned valid,
                       const std::string& guid_tail = kGuidTail) {
  unsigned width = bits / 8;
  return chunk("fmt ", fmt16(0xFFFE, ch, 8000, bits, 8000 * ch * width, ch * width) + le(22, 2) +
                           le(valid, 2) + le(0x33, 4) + le(sub, 4) + guid_tail);
}
// A float or double as a WAV file stores it: little-endian, as this machine
// is, or big-endian.
template <typename T>
std::string raw(T v, bool big = false) {
  std::string b(reinterpret_cast<const char*>(&v), sizeof v);
  return big ? std::string(b.rbegin(), b.rend()) : b;
}

// The other forms. RIFX stores sizes, fields and samples big-endian; RF64
// and BW64 put the 64-bit form and data sizes in a "ds64" chunk first, with
// 0xFFFFFFFF in the 32-bit fields.
std::string rifx(unsigned tag, unsigned ch, unsigned bits, const std::string& data) {
  unsigned align = ch * width_of(bits);
  std::string fmt = be(tag, 2) + be(ch, 2) + be(8000, 4) + be(8000 * align, 4) + be(align, 2);
  return chunk("RIFX", "WAVE" + chunk("fmt ", fmt + be(bits, 2), true) + chunk("data", data, true),
               true);
}
std::string wide(const std::string& fmt, const std::string& data, std::uint64_t data_size,
                 const std::string& id = "RF64") {
  std::string body = fmt + "data" + le(0xFFFFFFFF, 4) + data;
  return id + le(0xFFFFFFFF, 4) + "WAVE" +
         chunk("ds64", le(40 + body.size(), 8) + le(data_size, 8) + le(0, 8) + le(0, 4)) + body;
}

// A matrix result: rows, columns and the elements frame by frame.
using Frames = std::tuple<std::uint32_t, std::uint32_t, V>;

// The elements of a matrix result, row by row.
V elements(const Cvd::Ref& m) {
  V v;
  for (const auto& row : rows_of(m))
    v.insert(v.end(), row.begin(), row.end());
  return v;
}
// Calls through Kex::IO with absolute paths (the worksheet directory unused).
Frames readwav(const std::string& path) {
  Cvd::Ref m = Kex::IO::READWAV(u"", str(path));
  return {as_matrix(m)->get_Rows(), as_matrix(m)->get_Cols(), elements(m)};
}
V info(const std::string& path) {
  return elements(Kex::IO::GETWAVINFO(u"", str(path)));
}
// Writes frame-ordered values as a rows x cols matrix.
void writewav(const std::string& path, double rate, double bits, std::uint32_t rows,
              std::uint32_t cols, const V& v) {
  auto m = Cvd::MatVal::Zeros(rows, cols);
  for (std::size_t i = 0; i < v.size(); ++i)
    m->real()[(i % cols) * rows + i / cols] = v[i];
  Kex::IO::WRITEWAV(u"", str(path), num(rate), num(bits), m);
}

TEST(WavRead, SamplesAndTheFormat) {
  ScratchDir d;
  const std::pair<std::string, Frames> cases[] = {
      {form(pcm(1, 8) + chunk("data", std::string("\0\x80\xff", 3))), {3, 1, {0, 128, 255}}},
      {form(pcm(1, 16) + chunk("data", le(0x8000, 2) + le(0x7fff, 2))), {2, 1, {-32768, 32767}}},
      // 10 bytes of stereo 16-bit: two whole frames, half a third is ignored.
      {form(pcm(2, 16) + chunk("data", le(1, 2) + le(0xfffe, 2) + le(3, 2) + le(4, 2) + le(5, 2))),
       {2, 2, {1, -2, 3, 4}}},
      // 12 bits are stored in 16-bit words, values as they are.
      {form(pcm(1, 12) + chunk("data", le(0x0800, 2) + le(0xf800, 2))), {2, 1, {2048, -2048}}},
      // 17 to 24 bits in 3 bytes, 25 to 32 in 4: the stored integers, with
      // a trailing partial frame ignored.
      {form(pcm(1, 24) + chunk("data", le(0x800000, 3) + le(0x7fffff, 3) + le(0xfffffe, 3))),
       {3, 1, {-8388608, 8388607, -2}}},
      {form(pcm(3, 20) + chunk("data", le(1, 3) + le(0xffffff, 3) + le(0x012345, 3) + "ab")),
       {1, 3, {1, -1, 0x012345}}},
      {form(pcm(2, 32) +
            chunk("data", le(0x80000000, 4) + le(0x7fffffff, 4) + le(5, 4) + le(~5u, 4))),
       {2, 2, {-2147483648.0, 2147483647, 5, -6}}},
      // (More channels and widths are the round trips' part: WavPeers.)
      // IEEE float, singles and doubles, values as stored.
      {form(pcm(2, 32, 8000, 3) + chunk("data", raw(1.5f) + raw(-0.1f) + raw(1e38f) + raw(-0.0f))),
       {2, 2, {1.5, double(-0.1f), double(1e38f), -0.0}}},
      {form(pcm(2, 64, 8000, 3) + chunk("data", raw(0.1) + raw(-1e300) + raw(3.0) + raw(1e-310))),
       {2, 2, {0.1, -1e300, 3, 1e-310}}},
      // The extensible format with a PCM or float sub-format; valid bits and
      // channel mask do not matter.
      {form(extensible(2, 24, 1, 20) + chunk("data", le(0xfffff0, 3) + le(16, 3))),
       {1, 2, {-16, 16}}},
      {form(extensible(1, 32, 3, 32) + chunk("data", raw(0.25f))), {1, 1, {0.25}}},
      // The chunk search: odd sizes with pad bytes, a "data" chunk inside a
      // LIST, chunks between and after; the form looked for from the start,
      // past other chunks and forms.
      {form(chunk("LIST", "INFOISFT" + chunk("data", "\x09")) + chunk("JUNK", "abc") +
            chunk("fmt ", fmt16(1, 1, 8000, 8, 8000, 1) + "x") + chunk("fact", le(3, 4)) +
            chunk("cue ", le(0, 4)) + chunk("data", "\x07\x08\x09") + chunk("LIST", "adtl")),
       {3, 1, {7, 8, 9}}},
      {chunk("JUNK", "z") + form(pcm(1, 8) + chunk("data", "\x01"), "AVI ") +
           form(pcm(1, 8) + chunk("data", "\x02")),
       {1, 1, {2}}},
  };
  for (const auto& [bytes, frames] : cases) {
    write_bytes(d / "t.wav", bytes);
    EXPECT_EQ(readwav(d / "t.wav"), frames);
  }
  // The information is the record as stored: the byte rate is not computed,
  // 32-bit fields are unsigned, no data chunk is needed, and formats that
  // READWAV refuses still have it.
  write_bytes(d / "a.wav", form(chunk("fmt ", fmt16(1, 2, 0xFFFFFFFF, 16, 12345, 4))));
  EXPECT_EQ(info(d / "a.wav"), (V{2, 4294967295.0, 16, 12345}));
  write_bytes(d / "b.wav", form(chunk("data", "ab") + pcm(0, 24, 44100)));
  EXPECT_EQ(info(d / "b.wav"), (V{0, 44100, 24, 0}));
  // The bits of an extensible file are its container's, not its valid bits.
  write_bytes(d / "c.wav", form(extensible(3, 32, 1, 24)));
  EXPECT_EQ(info(d / "c.wav"), (V{3, 8000, 32, 96000}));
}

// RIFX at every width and float, RF64 and BW64 read as their classic twins,
// and as sox reads them (floats within -1..1 and 32-bit steps, which sox keeps).
TEST(WavRead, BigEndianAndLargeForms) {
  ScratchDir d;
  const std::vector<double> ramp = {-32768, -1, 0, 1, 2, 3, 4, 5, 32767};
  std::string ramp_be;
  for (double x : ramp)
    ramp_be += be(static_cast<std::uint16_t>(x), 2);
  const struct {
    std::string bytes;
    Frames frames;
    unsigned bits;  // for sox's scale; 0 for floats
  } cases[] = {
      {rifx(1, 1, 8, std::string("\0\x80\xff", 3)), {3, 1, {0, 128, 255}}, 8},
      {rifx(1, 2, 16, be(0x8000, 2) + be(0x7fff, 2) + be(1, 2) + be(0xfffe, 2)),
       {2, 2, {-32768, 32767, 1, -2}},
       16},
      {rifx(1, 1, 16, ramp_be), {9, 1, ramp}, 16},  // through the vector kernel
      {rifx(1, 1, 24, be(0x800000, 3) + be(0x7ffffe, 3) + be(0x123456, 3)),
       {3, 1, {-8388608, 8388606, 0x123456}},
       24},
      {rifx(1, 2, 32, be(0x80000001, 4) + be(0x01020304, 4)),
       {1, 2, {-2147483647, 0x01020304}},
       32},
      {rifx(3, 2, 32, raw(0.75f, true) + raw(-0.1f, true)), {1, 2, {0.75, double(-0.1f)}}, 0},
      {rifx(3, 1, 64, raw(0.3125, true) + raw(-0x1p-20, true)), {2, 1, {0.3125, -0x1p-20}}, 0},
      {wide(pcm(1, 16), le(5, 2) + le(0xfffb, 2), 4), {2, 1, {5, -5}}, 16},
      {wide(pcm(1, 24), le(0x800000, 3) + "x", 3), {1, 1, {-8388608}}, 24},
      {wide(pcm(2, 32, 8000, 3), raw(0.5f) + raw(-0.125f), 8), {1, 2, {0.5, -0.125}}, 0},
      {wide(pcm(2, 8), "\x01\x02\x03\x04", 4, "BW64"), {2, 2, {1, 2, 3, 4}}, 8},
  };
  const bool have_sox = ::system("sox --version >/dev/null 2>&1") == 0;
  for (const auto& [bytes, frames, bits] : cases) {
    write_bytes(d / "t.wav", bytes);
    EXPECT_EQ(readwav(d / "t.wav"), frames) << bytes;
    if (!have_sox || bytes.starts_with("BW64")) continue;  // sox knows no BW64
    // sox reads an integer sample as doubles over 2^(bits - 1), an 8-bit one
    // less 128 first.
    V want = std::get<2>(frames);
    for (double& x : want)
      x = bits == 0 ? x : bits == 8 ? (x - 128) / 128 : std::ldexp(x, 1 - int(bits));
    std::system(("sox -t wav " + d / "t.wav" + " -t f64 " + d / "t.f64 2>/dev/null").c_str());
    EXPECT_EQ(read_doubles(d / "t.f64"), want) << bytes;
  }
  EXPECT_EQ(info(d / "t.wav"), (V{2, 8000, 8, 16000}));
  write_bytes(d / "b.wav", cases[3].bytes);
  EXPECT_EQ(info(d / "b.wav"), (V{1, 8000, 24, 24000}));

  // A ds64 chunk that states more than 4 GiB, with 4 bytes of it in the
  // file, is found short before anything is allocated for it; one without a
  // whole ds64 chunk, or whose sizes pass 2^62, is no WAV file.
  write_bytes(d / "s.wav", wide(pcm(2, 16), "abcd", std::uint64_t{5} << 30));
  EXPECT_EQ(raised_with_detail([&] { readwav(d / "s.wav"); }),
            (Raised{"out of memory | the data chunk ends 5,368,709,116 bytes early", kAll}));
  EXPECT_EQ(info(d / "s.wav"), (V{2, 8000, 16, 32000}));
  for (const std::string& bad :
       {wide(pcm(1, 8), "a", 1).substr(0, 30), wide(pcm(1, 8), "a", std::uint64_t{1} << 63)}) {
    write_bytes(d / "n.wav", bad);
    EXPECT_RAISES(readwav(d / "n.wav"), "NOTAWAVFILE", kAll);
  }
}

TEST(WavRead, RefusalsComeInTheirOrder) {
  ScratchDir d;
  const std::string short_data = form(pcm(1, 24) + chunk("data", "abcdef"));
  struct {
    std::string bytes, message;
    bool info_too;  // whether GETWAVINFO refuses the file as well
  } cases[] = {
      {"", "NOTAWAVFILE", true},
      {"some text, not RIFF", "NOTAWAVFILE", true},
      {form(pcm(1, 8) + chunk("data", "\x01"), "WAVX"), "NOTAWAVFILE", true},
      {form(chunk("data", "\x01")), "file i/o error", true},
      {form(chunk("fmt ", fmt16(1, 1, 8000, 8, 8000, 1).substr(0, 14))), "ERROR_FMT_READ", true},
      {"RIFF" + le(100, 4) + "WAVEfmt " + le(40, 4) + fmt16(1, 1, 8000, 8, 8000, 1),
       "ERROR_FMT_READ", true},
      {form(chunk("fmt ", fmt16(2, 1, 8000, 4, 4000, 256))), "NOT_PCM", true},
      // Extensible: an unknown sub-format, a GUID that only starts like
      // PCM's, a record too short to name a sub-format, and one cut short.
      {form(extensible(2, 16, 2, 16)), "NOT_PCM", true},
      {form(extensible(2, 16, 1, 16, std::string(12, '\0'))), "NOT_PCM", true},
      {form(chunk("fmt ", fmt16(0xFFFE, 1, 8000, 16, 16000, 2) + le(0, 2))), "NOT_PCM", true},
      {form(extensible(1, 16, 1, 16)).substr(0, 50), "ERROR_FMT_READ", true},
      {form(chunk("data", "\x01") + pcm(1, 8)), "file i/o error", false},
      {form(pcm(1, 8) + chunk("data", "")), "file i/o error", false},
      {short_data.substr(0, short_data.size() - 3), "out of memory", false},
      {form(pcm(1, 40) + chunk("data", "abcde")), "BAD_INFO", false},
      {form(pcm(1, 16, 8000, 3) + chunk("data", "ab")), "BAD_INFO", false},
      {form(pcm(0, 8) + chunk("data", "abc")), "BAD_INFO", false},
      // A chunk beyond the end the form declares is not part of it.
      {"RIFF" + le(4 + 24, 4) + "WAVE" + pcm(1, 8) + chunk("data", "\x01\x02"), "file i/o error",
       false},
  };
  for (const auto& c : cases) {
    write_bytes(d / "t.wav", c.bytes);
    EXPECT_RAISES(readwav(d / "t.wav"), c.message, kAll) << c.bytes;
    EXPECT_EQ(raised([&] { info(d / "t.wav"); }),
              (c.info_too ? Raised{c.message, kAll} : Raised{"<nothing raised>", 0}));
  }
  for (const std::string& path : {d / "missing.wav", d.path().string()}) {
    EXPECT_RAISES(readwav(path), "file open error", kAll);
    EXPECT_RAISES(info(path), "file open error", kAll);
  }
  // A name the resolver refuses is reported with its description.
  Raised url = raised([&] { readwav("http://example.com/a.wav"); });
  EXPECT_EQ(url.index, kAll);
  EXPECT_NE(url.message.find("http"), std::string::npos) << url;
}

// READWAV and GETWAVINFO read FIFOs: a whole file sent through one reads as
// the file does; of a stream that never ends, no more is read than its
// header announces, within a bounded address space and a minute.
TEST(WavRead, StreamsAreReadNoFurtherThanTheirHeaderSays) {
  ScratchDir d;
  const std::string fifo = d / "fifo.wav";
  const std::string whole = form(pcm(2, 16) + chunk("JUNK", "x") +
                                 chunk("data", le(1, 2) + le(2, 2) + le(3, 2) + le(4, 2)));
  auto head = [](std::uint32_t data_size) {
    return "RIFF" + le(0xFFFFFFFF, 4) + "WAVE" + pcm(1, 8) + "data" + le(data_size, 4);
  };
  const std::string over =
      "out of memory | the data chunk of a stream is read up to 1 GiB, this one holds ";
  const struct {
    std::string bytes;
    bool endless;
    Frames frames;  // no rows: the message is expected
    std::string message;
  } cases[] = {
      {whole, false, {2, 2, {1, 2, 3, 4}}, ""},
      {"", true, {}, "NOTAWAVFILE"},  // zeros: no form to be found
      {head(0xFFFFFF00), true, {}, over + "4,294,967,040 bytes"},
      {head(3'000'000), true, {3'000'000, 1, V(3'000'000, 0.0)}, ""},
      {rifx(1, 2, 16, be(1, 2) + be(2, 2) + be(3, 2) + be(4, 2)), false, {2, 2, {1, 2, 3, 4}}, ""},
      {wide(pcm(1, 8), "", std::uint64_t{1} << 40), true, {}, over + "1,099,511,627,776 bytes"},
      {wide(pcm(1, 8), "", 3'000'000), true, {3'000'000, 1, V(3'000'000, 0.0)}, ""},
      // More than 1 GiB (here of unknown length) is refused before anything
      // is allocated for it.
      {head(0xFFFFFFFF), false, {}, over + "4,294,967,295 bytes"},
  };
  for (const auto& c : cases) {
    std::string said = child_failure([&] {
      ::alarm(60);
#if !defined(__SANITIZE_ADDRESS__)  // whose shadow memory reserves far more
      limit_address_space(rlim_t{1} << 30);
#endif
      std::thread feeder = feed_fifo(fifo, c.bytes, c.endless);
      Raised r;
      Frames got;
      r = raised_with_detail([&] { got = readwav(fifo); });
      feeder.join();
      if (!c.message.empty()) return r == Raised{c.message, kAll} ? "" : r.message;
      if (got != c.frames) return "other samples; " + r.message;
      return std::string();
    });
    EXPECT_EQ(said, "") << c.bytes.size() << " bytes, then " << (c.endless ? "zeros" : "the end");
  }
  std::thread feeder = feed_fifo(fifo, whole);
  EXPECT_EQ(info(fifo), (V{2, 8000, 16, 32000}));
  feeder.join();
}

TEST(WavWrite, FileBytes) {
  ScratchDir d;
  // Three data bytes and their pad; the format record with its empty
  // extension size.
  writewav(d / "a.wav", 8000, 8, 3, 1, {1, 2, 3});
  EXPECT_EQ(read_bytes(d / "a.wav"), form(chunk("fmt ", fmt16(1, 1, 8000, 8, 8000, 1) + le(0, 2)) +
                                          chunk("data", "\x01\x02\x03")));

  // Truncation toward zero to 32 bits, then the low 8, 16, 24 or 32 bits;
  // NaN and values beyond 32 bits become 0x80000000 first. The same twelve
  // values as one and three channels give the same data, with the byte rate
  // and alignment of their format; bits beyond whole bytes take one more.
  constexpr std::uint32_t kMin = 1u << 31;
  const std::pair<double, std::uint32_t> truncated[] = {
      {256, 0x100},         {-1, 0xffffffff},      {255.9, 0xff},
      {4294967553.0, kMin}, {kNaN, kMin},          {-0.5, 0},
      {32768, 0x8000},      {-2.9, 0xfffffffe},    {65537, 0x10001},
      {-32769, 0xffff7fff}, {-2147483648.5, kMin}, {2147483647.9, 0x7fffffff}};
  V v;
  std::string want[4];  // 1 to 4 bytes per sample
  for (auto [x, t] : truncated) {
    v.push_back(x);
    for (int width = 1; width <= 4; ++width)
      want[width - 1] += le(t, width);
  }
  for (unsigned ch : {1u, 3u}) {
    for (unsigned bits : {8u, 16u, 20u, 25u}) {
      writewav(d / "c.wav", 44100, bits, 12 / ch, ch, v);
      std::string c = read_bytes(d / "c.wav");
      unsigned width = width_of(bits), align = width * ch;
      EXPECT_EQ(c.substr(20, 16), fmt16(1, ch, 44100, bits, 44100 * align, align));
      EXPECT_EQ(c.substr(38), chunk("data", want[width - 1])) << ch << " " << bits;
    }
  }
  // A resolution of 12.9 writes 12 bits in 2-byte samples; a negative rate
  // is stored in two's complement.
  writewav(d / "e.wav", -8000.7, 12.9, 1, 1, {-5});
  std::string e = read_bytes(d / "e.wav");
  EXPECT_EQ(e.substr(20, 16), fmt16(1, 1, 0xFFFFE0C0, 12, 0xFFFFC180, 2));
  EXPECT_EQ(e.substr(46), le(0xfffb, 2));
}

TEST(WavWrite, RefusalsAndWhatTheyLeaveBehind) {
  ScratchDir d;
  const std::string path = d / "x.wav";
  auto call = [&](const Cvd::Ref& rate, const Cvd::Ref& res, const Cvd::Ref& m) {
    return Kex::IO::WRITEWAV(u"", str(path), rate, res, m);
  };
  // Imaginary parts are refused before the file is touched.
  write_bytes(path, "keep");
  EXPECT_RAISES(call(num(8000, 1), num(8, 1), with_imag(mat({{1}}), {2})), "must be real", 4u);
  EXPECT_RAISES(call(num(8000, 1), num(8, 1), mat({{1}})), "must be real", 2u);
  EXPECT_RAISES(call(num(8000), num(8, 1), mat({{1}})), "must be real", 3u);
  EXPECT_EQ(read_bytes(path), "keep");
  // A resolution outside 1..32 is refused after the file was emptied. Data
  // beyond 2^62 bytes, more than even an RF64 file is read with, whose
  // elements are never looked at, is refused with the old file kept.
  auto huge = [](std::uint32_t rows, std::uint32_t cols) {
    return std::make_shared<Cvd::MatVal>(Cvd::NewArray(1), nullptr, rows, cols, rows, nullptr);
  };
  const Raised too_many{"too many samples for a WAV file", 4};
  for (auto [res, m, want, left] : {std::tuple{0.5, mat({{1}}), Raised{"BAD_RESOLUTION", 3}, ""},
                                    {32.5, mat({{1}}), {"BAD_RESOLUTION", 3}, ""},
                                    {kNaN, mat({{1}}), {"BAD_RESOLUTION", 3}, ""},
                                    {8.0, huge(0xFFFFFFFF, 0xFFFFFFFF), too_many, "keep"},
                                    {32.0, huge(0x40000001, 0x40000000), too_many, "keep"}}) {
    write_bytes(path, "keep");
    EXPECT_EQ(raised([&] { call(num(8000), num(res), m); }), want);
    EXPECT_EQ(read_bytes(path), left);
  }
  // A new file stays, empty, after a refused resolution.
  EXPECT_RAISES(writewav(d / "new.wav", 8000, 0, 1, 1, {1}), "BAD_RESOLUTION", 3u);
  EXPECT_TRUE(std::filesystem::exists(d / "new.wav"));
  EXPECT_EQ(read_bytes(d / "new.wav"), "");
  EXPECT_RAISES(writewav(d.path(), 8000, 8, 1, 1, {1}), "file open error", kAll);
}

// Checks our files of the manifest "ours" (name rows cols rate bits, with
// the samples written as frame-ordered doubles in name.f64) with scipy, then
// makes files with sox and scipy and takes scipy's own big-endian and RF64
// test files (other chunks are the hand-built files' part), listing each the
// same way in "manifest" with scipy's samples. scipy puts 3-byte samples into
// the high bits of 32-bit integers; they are shifted back to the integers
// stored. sox writes the extensible format for more than two channels or
// more than 16 bits. Prints what differs and exits 1 when anything does.
constexpr const char* kPeers = R"PY(
import glob, os, re, shutil, subprocess, sys
import numpy as np, scipy.io
from scipy.io import wavfile
p = lambda name: os.path.join(sys.argv[1], name)
def read(name, bits):
    rate, x = wavfile.read(p(name))
    x = x.reshape(len(x), -1)
    return rate, x >> 8 if x.dtype.kind == 'i' and x.dtype.itemsize == 4 and 16 < bits <= 24 else x
bad = 0
for line in open(p('ours')):
    name, rows, cols, rate, bits = line.split()
    r, x = read(name, int(bits))
    if r != int(rate) or not np.array_equal(x, np.fromfile(p(name + '.f64')).reshape(int(rows), -1)):
        print('scipy reads differently:', name); bad = 1
rng = np.random.default_rng(1)
out = open(p('manifest'), 'w')
def expect(name, bits):
    rate, x = read(name, bits)
    x.astype(np.float64).tofile(p(name + '.f64'))
    out.write('%s %d %d %d %d\n' % (name, x.shape[0], x.shape[1], rate, bits))
if shutil.which('sox'):
    for name, args in [('s16.wav', '-b 16 -r 44100 -c 2'), ('s8.wav', '-b 8 -r 8000 -c 1'),
                       ('s8odd.wav', '-b 8 -r 8010 -c 1'), ('s4.wav', '-b 16 -r 8000 -c 4 -t wavpcm'),
                       ('s3.wav', '-b 8 -r 11025 -c 3 -t wavpcm'), ('ext.wav', '-b 16 -r 8000 -c 4'),
                       ('s24.wav', '-b 24 -r 48000 -c 2'), ('s32.wav', '-b 32 -r 8000 -c 1'),
                       ('s24x5.wav', '-b 24 -r 8000 -c 5'), ('f32.wav', '-e floating-point -b 32 -r 8000 -c 2'),
                       ('f64.wav', '-e floating-point -b 64 -r 8000 -c 3')]:
        subprocess.run(['sox', '-n'] + args.split() + [p(name), 'synth', '0.1', 'sine', '440'],
                       check=True)
        a = args.split()
        expect(name, int(a[a.index('-b') + 1]))
wavfile.write(p('p16.wav'), 22050, rng.integers(-32768, 32768, 777).astype(np.int16))
wavfile.write(p('p8.wav'), 8000, rng.integers(0, 256, (5, 1)).astype(np.uint8))
expect('p16.wav', 16); expect('p8.wav', 8)
wavfile.write(p('p32.wav'), 8000, rng.integers(-2**31, 2**31, (333, 2)).astype(np.int32))
wavfile.write(p('pf64.wav'), 8000, rng.standard_normal((99, 3)) * 1e10)
expect('p32.wav', 32); expect('pf64.wav', 64)
data = os.path.join(os.path.dirname(scipy.io.__file__), 'tests', 'data')
for f in glob.glob(os.path.join(data, '*-be*.wav')) + glob.glob(os.path.join(data, '*rf64*.wav')):
    name = os.path.basename(f); shutil.copy(f, p(name))
    m = re.search(r'(\d+)bit', name) or re.search(r'(\d)bytes', name)
    expect(name, int(m.group(1)) * (1 if 'bit' in m.group(0) else 8))
sys.exit(bad)
)PY";

// Our files, of sizes that span several conversion blocks, odd data sizes
// and 1 to 5 channels, read back as written, by READWAV and by scipy; the
// tools' files read as scipy reads them.
TEST(WavPeers, OursAndOtherToolsFilesReadAlike) {
  ScratchDir d;
  std::mt19937 rng(3);
  std::string ours;
  const std::uint32_t files[][4] = {
      {4097, 2, 44100, 16}, {100001, 3, 16000, 16}, {4097, 1, 8000, 16},  {999, 1, 8000, 8},
      {4097, 2, 22050, 8},  {100001, 3, 11025, 8},  {7, 5, 11025, 8},     {100001, 2, 48000, 24},
      {4097, 3, 8000, 24},  {5000, 1, 8000, 20},    {70001, 1, 8000, 32}, {4097, 2, 8000, 32},
      {999, 4, 8000, 28}};  // rows, channels, rate, bits
  for (auto [rows, cols, rate, bits] : files) {
    std::string name = "ours" + std::to_string(ours.size()) + ".wav";
    // The full range of the sample width.
    const std::int64_t top = std::int64_t{1} << (8 * width_of(bits) - 1);
    std::uniform_int_distribution<std::int64_t> dist(bits == 8 ? 0 : -top,
                                                     bits == 8 ? 255 : top - 1);
    V v(std::size_t{rows} * cols);
    for (double& x : v)
      x = dist(rng);
    writewav(d / name, rate, bits, rows, cols, v);
    EXPECT_EQ(readwav(d / name), (Frames{rows, cols, v})) << name;
    write_bytes(d / (name + ".f64"),
                std::string(reinterpret_cast<const char*>(v.data()), v.size() * 8));
    ours += name + " " + std::to_string(rows) + " " + std::to_string(cols) + " " +
            std::to_string(rate) + " " + std::to_string(bits) + "\n";
  }
  // No rows: an empty data chunk, which READWAV then refuses.
  writewav(d / "empty.wav", 8000, 16, 0, 2, {});
  EXPECT_EQ(read_bytes(d / "empty.wav").size(), 46u);
  EXPECT_RAISES(readwav(d / "empty.wav"), "file i/o error", kAll);

  if (!have_python("numpy, scipy.io.wavfile")) GTEST_SKIP() << "needs numpy and scipy";
  write_bytes(d / "ours", ours);
  ASSERT_EQ(python_failure(d, kPeers), "");
  std::istringstream manifest(read_bytes(d / "manifest"));
  std::string name;
  std::uint32_t rows, cols;
  double rate, bits;
  int tools = 0;
  for (; manifest >> name >> rows >> cols >> rate >> bits; ++tools) {
    EXPECT_EQ(readwav(d / name), (Frames{rows, cols, read_doubles(d / (name + ".f64"))})) << name;
    EXPECT_EQ(info(d / name), (V{double(cols), rate, bits, rate * cols * bits / 8})) << name;
  }
  EXPECT_GE(tools, 13);
}

}  // namespace
