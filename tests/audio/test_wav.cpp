// GETWAVINFO, READWAV and WRITEWAV: files built byte by byte pin the sample
// values, the chunk search, the order of the messages and the bytes written;
// files of sox, Python's wave module and scipy must read as scipy reads them,
// and scipy, soxi and sox must read ours with the same samples (skipped when
// Debian's python3 with scipy is missing; the sox parts when sox is).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "kexio/io.h"
#include "support/values.h"

namespace {

using kexio_test::mat;
using kexio_test::num;
using kexio_test::str;
using V = std::vector<double>;

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it.
struct TempDir {
  std::string path = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/wavXXXXXX";
  TempDir() { EXPECT_NE(mkdtemp(path.data()), nullptr); }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

std::string le16(unsigned v) {
  return {char(v & 0xFF), char(v >> 8 & 0xFF)};
}
std::string le32(std::uint32_t v) {
  return le16(v & 0xFFFF) + le16(v >> 16);
}
// A chunk with its size and, for odd sizes, the pad byte.
std::string chunk(const std::string& id, const std::string& data) {
  return id + le32(std::uint32_t(data.size())) + data + std::string(data.size() % 2, '\0');
}
std::string form(const std::string& body, const std::string& type = "WAVE") {
  return chunk("RIFF", type + body);
}
// A 16-byte format record with the byte rate and alignment as given.
std::string fmt16(unsigned tag, unsigned ch, std::uint32_t rate, unsigned bits, std::uint32_t avg,
                  unsigned align) {
  return le16(tag) + le16(ch) + le32(rate) + le32(avg) + le16(align) + le16(bits);
}
std::string pcm(unsigned ch, unsigned bits, std::uint32_t rate = 8000) {
  unsigned width = bits > 8 ? 2 : 1;
  return chunk("fmt ", fmt16(1, ch, rate, bits, rate * ch * width, ch * width));
}

void put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}
std::string get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A matrix result: rows, columns and the elements frame by frame.
using Frames = std::tuple<std::uint32_t, std::uint32_t, V>;

// Calls through Kex::IO with absolute paths (the worksheet directory unused).
Frames readwav(const std::string& path) {
  auto m = std::dynamic_pointer_cast<Cvd::MatVal>(Kex::IO::READWAV(u"", str(path)));
  V v;
  for (std::uint32_t r = 0; r < m->get_Rows(); ++r)
    for (std::uint32_t c = 0; c < m->get_Cols(); ++c)
      v.push_back(m->get_real(r, c));
  return {m->get_Rows(), m->get_Cols(), v};
}
V info(const std::string& path) {
  auto m = std::dynamic_pointer_cast<Cvd::MatVal>(Kex::IO::GETWAVINFO(u"", str(path)));
  return {m->real(), m->real() + m->size()};
}
// Writes frame-ordered values as a rows x cols matrix.
void writewav(const std::string& path, double rate, double bits, std::uint32_t rows,
              std::uint32_t cols, const V& v) {
  auto m = Cvd::MatVal::Zeros(rows, cols);
  for (std::size_t i = 0; i < v.size(); ++i)
    m->real()[(i % cols) * rows + i / cols] = v[i];
  Kex::IO::WRITEWAV(u"", str(path), num(rate), num(bits), m);
}

// The message and argument index of a call's failure.
using Raised = std::pair<std::string, std::uint32_t>;
Raised raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const Kex::Exception& e) {
    return {e.message(), e.index()};
  }
  return {"<nothing raised>", 0};
}
constexpr std::uint32_t kAll = Kex::kWholeCall;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(WavRead, SamplesAndTheFormat) {
  TempDir d;
  auto read = [&](const std::string& bytes) {
    put(d / "t.wav", bytes);
    return readwav(d / "t.wav");
  };
  EXPECT_EQ(read(form(pcm(1, 8) + chunk("data", std::string("\0\x80\xff", 3)))),
            (Frames{3, 1, {0, 128, 255}}));
  EXPECT_EQ(read(form(pcm(1, 16) + chunk("data", le16(0x8000) + le16(0x7fff)))),
            (Frames{2, 1, {-32768, 32767}}));
  // 10 bytes of stereo 16-bit: two whole frames, half a third is ignored.
  EXPECT_EQ(
      read(form(pcm(2, 16) + chunk("data", le16(1) + le16(0xfffe) + le16(3) + le16(4) + le16(5)))),
      (Frames{2, 2, {1, -2, 3, 4}}));
  // 12 bits are stored in 16-bit words, values as they are.
  EXPECT_EQ(read(form(pcm(1, 12) + chunk("data", le16(0x0800) + le16(0xf800)))),
            (Frames{2, 1, {2048, -2048}}));
  EXPECT_EQ(read(form(pcm(3, 8) + chunk("data", "\x01\x02\x03\x04\x05\x06"))),
            (Frames{2, 3, {1, 2, 3, 4, 5, 6}}));

  // The information is the record as stored: the byte rate is not computed,
  // 32-bit fields are unsigned, no data chunk is needed, and formats that
  // READWAV refuses still have it.
  put(d / "a.wav", form(chunk("fmt ", fmt16(1, 2, 0xFFFFFFFF, 16, 12345, 4))));
  EXPECT_EQ(info(d / "a.wav"), (V{2, 4294967295.0, 16, 12345}));
  put(d / "b.wav", form(chunk("data", "ab") + pcm(0, 24, 44100)));
  EXPECT_EQ(info(d / "b.wav"), (V{0, 44100, 24, 0}));
}

TEST(WavRead, ChunkSearchSkipsOtherChunksAndPadBytes) {
  TempDir d;
  // Odd sizes with pad bytes, a "data" chunk inside a LIST, chunks between
  // and after.
  put(d / "a.wav",
      form(chunk("LIST", "INFOISFT" + chunk("data", "\x09")) + chunk("JUNK", "abc") +
           chunk("fmt ", fmt16(1, 1, 8000, 8, 8000, 1) + "x") + chunk("fact", le32(3)) +
           chunk("cue ", le32(0)) + chunk("data", "\x07\x08\x09") + chunk("LIST", "adtl")));
  EXPECT_EQ(readwav(d / "a.wav"), (Frames{3, 1, {7, 8, 9}}));
  // The form is looked for from the start, past other chunks and forms.
  put(d / "b.wav", chunk("JUNK", "z") + form(pcm(1, 8) + chunk("data", "\x01"), "AVI ") +
                       form(pcm(1, 8) + chunk("data", "\x02")));
  EXPECT_EQ(readwav(d / "b.wav"), (Frames{1, 1, {2}}));
  // A chunk beyond the end the form declares is not part of it.
  std::string inner = "WAVE" + pcm(1, 8);
  put(d / "c.wav", "RIFF" + le32(inner.size()) + inner + chunk("data", "\x01\x02"));
  EXPECT_EQ(raised([&] { readwav(d / "c.wav"); }), (Raised{"file i/o error", kAll}));
}

TEST(WavRead, RefusalsComeInTheirOrder) {
  TempDir d;
  const std::string short_data = form(pcm(1, 24) + chunk("data", "abcdef"));
  struct {
    std::string bytes, read, info;  // expected messages; "" when GETWAVINFO succeeds
  } cases[] = {
      {"", "NOTAWAVFILE", "NOTAWAVFILE"},
      {"some text, not RIFF", "NOTAWAVFILE", "NOTAWAVFILE"},
      {form(pcm(1, 8) + chunk("data", "\x01"), "WAVX"), "NOTAWAVFILE", "NOTAWAVFILE"},
      {form(chunk("data", "\x01")), "file i/o error", "file i/o error"},
      {form(chunk("fmt ", fmt16(1, 1, 8000, 8, 8000, 1).substr(0, 14))), "ERROR_FMT_READ",
       "ERROR_FMT_READ"},
      {"RIFF" + le32(100) + "WAVEfmt " + le32(40) + fmt16(1, 1, 8000, 8, 8000, 1), "ERROR_FMT_READ",
       "ERROR_FMT_READ"},
      {form(chunk("fmt ", fmt16(3, 1, 8000, 32, 32000, 4))), "NOT_PCM", "NOT_PCM"},
      {form(chunk("data", "\x01") + pcm(1, 8)), "file i/o error", ""},
      {form(pcm(1, 8) + chunk("data", "")), "file i/o error", ""},
      {short_data.substr(0, short_data.size() - 3), "out of memory", ""},
      {form(pcm(1, 24) + chunk("data", "abc")), "BAD_INFO", ""},
      {form(pcm(0, 8) + chunk("data", "abc")), "BAD_INFO", ""},
  };
  for (const auto& c : cases) {
    put(d / "t.wav", c.bytes);
    EXPECT_EQ(raised([&] { readwav(d / "t.wav"); }), (Raised{c.read, kAll})) << c.bytes;
    Raised got = raised([&] { info(d / "t.wav"); });
    EXPECT_EQ(got, (c.info.empty() ? Raised{"<nothing raised>", 0} : Raised{c.info, kAll}));
  }
  for (const std::string& path : {d / "missing.wav", d.path}) {
    EXPECT_EQ(raised([&] { readwav(path); }), (Raised{"file open error", kAll}));
    EXPECT_EQ(raised([&] { info(path); }), (Raised{"file open error", kAll}));
  }
  // A name the resolver refuses is reported with its description.
  Raised url = raised([&] { readwav("http://example.com/a.wav"); });
  EXPECT_EQ(url.second, kAll);
  EXPECT_NE(url.first.find("http"), std::string::npos) << url.first;
}

TEST(WavWrite, FileBytes) {
  TempDir d;
  writewav(d / "a.wav", 8000, 8, 3, 1, {1, 2, 3});
  std::string a = get(d / "a.wav");
  EXPECT_EQ(a.size(), 50u);
  EXPECT_EQ(a.substr(4, 4), le32(42));  // three data bytes and their pad
  EXPECT_EQ(a, form(chunk("fmt ", fmt16(1, 1, 8000, 8, 8000, 1) + le16(0)) +
                    chunk("data", "\x01\x02\x03")));
  writewav(d / "b.wav", 44100, 16, 2, 2, {-1, 32768, 65537, -2.9});
  EXPECT_EQ(get(d / "b.wav"),
            form(chunk("fmt ", fmt16(1, 2, 44100, 16, 176400, 4) + le16(0)) +
                 chunk("data", le16(0xffff) + le16(0x8000) + le16(1) + le16(0xfffe))));

  // Truncation toward zero, then the low 8 or 16 bits; NaN and values beyond
  // 32 bits become 0x80000000 first. The same frames as mono, stereo and
  // four channels give the same bytes.
  const std::pair<double, unsigned> low_bits[] = {
      {256, 0x100},     {-1, 0xffff},       {255.9, 0xff},         {4294967553.0, 0}, {kNaN, 0},
      {-0.5, 0},        {32768, 0x8000},    {-2.9, 0xfffe},        {65537, 1},        {1e300, 0},
      {-32769, 0x7fff}, {-2147483648.5, 0}, {2147483647.9, 0xffff}};
  V v;
  std::string want8, want16;
  for (int k = 0; k < 4; ++k) {
    for (auto [x, low] : low_bits) {
      v.push_back(x);
      want16 += le16(low);
      want8 += static_cast<char>(low & 0xff);
    }
  }
  for (std::uint32_t ch : {1u, 2u, 4u}) {
    writewav(d / "c.wav", 8000, 8, 52 / ch, ch, v);
    EXPECT_EQ(get(d / "c.wav").substr(46), want8) << ch;
    writewav(d / "c.wav", 8000, 16, 52 / ch, ch, v);
    EXPECT_EQ(get(d / "c.wav").substr(46), want16) << ch;
  }

  // A resolution of 12.9 writes 12 bits in 2-byte samples; a negative rate
  // is stored in two's complement.
  writewav(d / "e.wav", -8000.7, 12.9, 1, 1, {-5});
  std::string e = get(d / "e.wav");
  EXPECT_EQ(e.substr(20, 16), fmt16(1, 1, 0xFFFFE0C0, 12, 0xFFFFC180, 2));
  EXPECT_EQ(e.substr(46), le16(0xfffb));
}

TEST(WavWrite, RefusalsAndWhatTheyLeaveBehind) {
  TempDir d;
  const std::string path = d / "x.wav";
  auto complex_m = mat({{1}});
  complex_m->m_iarr = Cvd::NewArray(1);
  complex_m->m_iarr[0] = 2;
  auto call = [&](const Cvd::Ref& rate, const Cvd::Ref& res, const Cvd::Ref& m) {
    return raised([&] { Kex::IO::WRITEWAV(u"", str(path), rate, res, m); });
  };
  // Imaginary parts are refused before the file is touched.
  put(path, "keep");
  EXPECT_EQ(call(num(8000, 1), num(8, 1), complex_m), (Raised{"must be real", 4}));
  EXPECT_EQ(call(num(8000, 1), num(8, 1), mat({{1}})), (Raised{"must be real", 2}));
  EXPECT_EQ(call(num(8000), num(8, 1), mat({{1}})), (Raised{"must be real", 3}));
  EXPECT_EQ(get(path), "keep");
  // A resolution outside 1..16 is refused after the file was emptied; so is
  // data that 32-bit sizes cannot describe (2^32 bytes of 8-bit samples,
  // 2^32 bytes of 16-bit ones), whose elements are never looked at.
  auto huge = [](std::uint32_t rows) {
    return std::make_shared<Cvd::MatVal>(Cvd::NewArray(1), nullptr, rows, 65536, rows, nullptr);
  };
  for (auto [res, m, want] : {std::tuple{0.5, mat({{1}}), Raised{"BAD_RESOLUTION", 3}},
                              {16.5, mat({{1}}), {"BAD_RESOLUTION", 3}},
                              {kNaN, mat({{1}}), {"BAD_RESOLUTION", 3}},
                              {8.0, huge(65536), {"too many samples for a WAV file", 4}},
                              {16.0, huge(32768), {"too many samples for a WAV file", 4}}}) {
    put(path, "keep");
    EXPECT_EQ(call(num(8000), num(res), m), want);
    EXPECT_EQ(get(path), "");
  }
  EXPECT_EQ(raised([&] { writewav(d.path, 8000, 8, 1, 1, {1}); }),
            (Raised{"file open error", kAll}));
  struct stat st {};
  if (stat("/dev/full", &st) == 0) {
    EXPECT_EQ(raised([&] { writewav("/dev/full", 8000, 8, 1, 1, {1}); }),
              (Raised{"file write error", kAll}));
  }
}

constexpr const char* kPython = "/usr/bin/python3";

// Makes files with sox, the wave module and scipy, and one with extra chunks
// before and after the data. For each: a manifest line "name rows cols rate
// bits" and scipy's samples as frame-ordered doubles in name.f64. sox's
// ext.wav, in the extensible format, is not listed.
constexpr const char* kMake = R"PY(
import os, shutil, struct, subprocess, sys, wave
import numpy as np
from scipy.io import wavfile
p = lambda name: os.path.join(sys.argv[1], name)
rng = np.random.default_rng(1)
out = open(p('manifest'), 'w')
def expect(name, bits):
    rate, x = wavfile.read(p(name))
    x = x.reshape(len(x), -1)
    x.astype(np.float64).tofile(p(name + '.f64'))
    out.write('%s %d %d %d %d\n' % (name, x.shape[0], x.shape[1], rate, bits))
if shutil.which('sox'):
    for name, args in [('s16.wav', '-b 16 -r 44100 -c 2'), ('s8.wav', '-b 8 -r 8000 -c 1'),
                       ('s8odd.wav', '-b 8 -r 8010 -c 1'), ('s4.wav', '-b 16 -r 8000 -c 4 -t wavpcm'),
                       ('s3.wav', '-b 8 -r 11025 -c 3 -t wavpcm'), ('ext.wav', '-b 16 -r 8000 -c 4')]:
        subprocess.run(['sox', '-n'] + args.split() + [p(name), 'synth', '0.1', 'sine', '440'],
                       check=True)
        if name != 'ext.wav':
            expect(name, int(args.split()[1]))
def with_wave(name, ch, width, frames):
    x = rng.integers(0, 256, (frames, ch)) if width == 1 else rng.integers(-32768, 32768, (frames, ch))
    with wave.open(p(name), 'wb') as w:
        w.setnchannels(ch); w.setsampwidth(width); w.setframerate(16000)
        w.writeframes(x.astype('u1' if width == 1 else '<i2').tobytes())
    expect(name, 8 * width)
with_wave('w3.wav', 3, 2, 1001); with_wave('w8odd.wav', 1, 1, 999); with_wave('w5.wav', 5, 1, 3)
wavfile.write(p('p16.wav'), 22050, rng.integers(-32768, 32768, 777).astype(np.int16))
wavfile.write(p('p8.wav'), 8000, rng.integers(0, 256, (5, 1)).astype(np.uint8))
expect('p16.wav', 16); expect('p8.wav', 8)
ck = lambda i, b: i + struct.pack('<I', len(b)) + b + b'\0' * (len(b) % 2)
raw = open(p('w3.wav'), 'rb').read()
assert raw[12:16] == b'fmt ' and raw[36:40] == b'data'
body = (ck(b'LIST', b'INFO' + ck(b'ISFT', b'peer\0')) + ck(b'JUNK', b'odd') + raw[12:36] +
        ck(b'fact', struct.pack('<I', 1001)) + ck(b'cue ', bytes(4)) + raw[36:] +
        ck(b'cue ', bytes(4)) + ck(b'LIST', b'adtlx'))
open(p('extra.wav'), 'wb').write(ck(b'RIFF', b'WAVE' + body))
expect('extra.wav', 16)
)PY";

// Checks the files of the manifest (as above) with scipy, soxi and sox;
// prints what differs and exits 1 when anything does.
constexpr const char* kCheck = R"PY(
import os, shutil, subprocess, sys
import numpy as np
from scipy.io import wavfile
bad = 0
for line in open(os.path.join(sys.argv[1], 'manifest')):
    name, rows, cols, rate, bits = line.split()
    path = os.path.join(sys.argv[1], name)
    want = np.fromfile(path + '.f64').reshape(int(rows), int(cols))
    r, x = wavfile.read(path)
    if r != int(rate) or not np.array_equal(x.reshape(len(x), -1), want):
        print('scipy reads differently:', name); bad = 1
    if shutil.which('soxi'):
        got = [subprocess.run(['soxi', f, path], capture_output=True, text=True).stdout.strip()
               for f in ('-c', '-r', '-b', '-s')]
        if got != [cols, rate, bits, rows]:
            print('soxi reports', got, 'for', name); bad = 1
        kind, dtype = ('u8', 'u1') if int(bits) <= 8 else ('s16', '<i2')
        if subprocess.run(['sox', path, '-t', kind, '-'], capture_output=True).stdout != \
                want.astype(dtype).tobytes():
            print('sox reads differently:', name); bad = 1
sys.exit(bad)
)PY";

// Runs a script on the folder; its exit status, with its output in log.
int python(const TempDir& d, const char* script, std::string& log) {
  put(d / "script.py", script);
  FILE* p = popen((std::string(kPython) + " " + d / "script.py " + d.path + " 2>&1").c_str(), "r");
  if (p == nullptr) return -1;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p) != nullptr)
    log += buf;
  return pclose(p);
}

bool have_peers() {
  return std::system(
             (std::string(kPython) + " -c 'import scipy.io.wavfile' 2>/dev/null").c_str()) == 0;
}

TEST(WavPeers, FilesOfOtherToolsReadAsScipyReadsThem) {
  if (!have_peers()) GTEST_SKIP() << "needs " << kPython << " with numpy and scipy";
  TempDir d;
  std::string log;
  ASSERT_EQ(python(d, kMake, log), 0) << log;
  std::istringstream manifest(get(d / "manifest"));
  std::string name;
  std::uint32_t rows, cols;
  double rate, bits;
  int files = 0;
  for (; manifest >> name >> rows >> cols >> rate >> bits; ++files) {
    std::string b = get(d / (name + ".f64"));
    V want(b.size() / 8);
    std::memcpy(want.data(), b.data(), b.size());
    EXPECT_EQ(readwav(d / name), (Frames{rows, cols, want})) << name;
    EXPECT_EQ(info(d / name), (V{double(cols), rate, bits, rate * cols * bits / 8})) << name;
  }
  EXPECT_GE(files, 6);
  if (std::filesystem::exists(d / "ext.wav")) {
    EXPECT_EQ(raised([&] { readwav(d / "ext.wav"); }), (Raised{"NOT_PCM", kAll}));
  }
}

// Sizes that span several conversion blocks, odd data sizes, 1 to 5
// channels: READWAV gives back what was written, and so do the tools.
TEST(WavPeers, ToolsReadWhatWeWrite) {
  TempDir d;
  std::mt19937 rng(3);
  std::string manifest;
  for (auto [rows, cols, rate, bits] : {std::tuple{4097u, 2u, 44100u, 16u},
                                        {100001u, 3u, 16000u, 16u},
                                        {4097u, 1u, 8000u, 16u},
                                        {999u, 1u, 8000u, 8u},
                                        {4097u, 2u, 22050u, 8u},
                                        {100001u, 3u, 11025u, 8u},
                                        {7u, 5u, 11025u, 8u}}) {
    std::string name = "ours" + std::to_string(manifest.size()) + ".wav";
    std::uniform_int_distribution<int> dist(bits == 8 ? 0 : -32768, bits == 8 ? 255 : 32767);
    V v(std::size_t{rows} * cols);
    for (double& x : v)
      x = dist(rng);
    writewav(d / name, rate, bits, rows, cols, v);
    EXPECT_EQ(readwav(d / name), (Frames{rows, cols, v})) << name;
    EXPECT_EQ(info(d / name),
              (V{double(cols), double(rate), double(bits), rate * cols * bits / 8.0}));
    put(d / (name + ".f64"), std::string(reinterpret_cast<const char*>(v.data()), v.size() * 8));
    manifest += name + " " + std::to_string(rows) + " " + std::to_string(cols) + " " +
                std::to_string(rate) + " " + std::to_string(bits) + "\n";
  }
  // No rows: an empty data chunk, which READWAV then refuses.
  writewav(d / "empty.wav", 8000, 16, 0, 2, {});
  EXPECT_EQ(get(d / "empty.wav").size(), 46u);
  EXPECT_EQ(raised([&] { readwav(d / "empty.wav"); }), (Raised{"file i/o error", kAll}));

  if (!have_peers()) GTEST_SKIP() << "needs " << kPython << " with numpy and scipy";
  put(d / "manifest", manifest);
  std::string log;
  EXPECT_EQ(python(d, kCheck, log), 0) << log;
}

}  // namespace
