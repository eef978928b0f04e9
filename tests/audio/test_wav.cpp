// GETWAVINFO, READWAV and WRITEWAV on files built byte by byte: sample
// values, the chunk search, the order of the messages, and the exact bytes
// written.
#include <sys/stat.h>

#include <cmath>
#include <limits>
#include <random>

#include "wav_support.h"

namespace {

using namespace wav_test;

using V = std::vector<double>;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string truncated(const std::string& s, std::size_t cut) {
  return s.substr(0, s.size() - cut);
}

TEST(WavRead, SamplesAreThePlainStoredIntegers) {
  TempDir d;
  put(d / "u8.wav", form("WAVE", pcm(1, 8) + chunk("data", std::string("\x00\x80\xff", 3))));
  EXPECT_EQ(frames(*readwav(d / "u8.wav")), (V{0, 128, 255}));

  put(d / "s16.wav", form("WAVE", pcm(1, 16) + chunk("data", le16(0x8000) + le16(0x7fff))));
  EXPECT_EQ(frames(*readwav(d / "s16.wav")), (V{-32768, 32767}));

  // 10 bytes of stereo 16-bit are two whole frames and half of a third.
  put(d / "st.wav", form("WAVE", pcm(2, 16) + chunk("data", le16(1) + le16(0xfffe) + le16(3) +
                                                                le16(4) + le16(5))));
  auto st = readwav(d / "st.wav");
  EXPECT_EQ(st->get_Rows(), 2u);
  EXPECT_EQ(frames(*st), (V{1, -2, 3, 4}));

  // 12 bits per sample are stored in 16-bit words, values as they are;
  // three 8-bit channels, one frame each.
  put(d / "12.wav", form("WAVE", pcm(1, 12) + chunk("data", le16(0x0800) + le16(0xf800))));
  EXPECT_EQ(frames(*readwav(d / "12.wav")), (V{2048, -2048}));
  put(d / "3ch.wav", form("WAVE", pcm(3, 8) + chunk("data", "\x01\x02\x03\x04\x05\x06")));
  auto m3 = readwav(d / "3ch.wav");
  EXPECT_EQ(m3->get_Cols(), 3u);
  EXPECT_EQ(frames(*m3), (V{1, 2, 3, 4, 5, 6}));
}

TEST(WavRead, InfoIsTheFormatRecordAsStored) {
  TempDir d;
  // The byte rate is taken from the file, not computed; 32-bit fields are
  // unsigned. No data chunk is needed.
  put(d / "a.wav", form("WAVE", chunk("fmt ", fmt16(1, 2, 0xFFFFFFFF, 16, 12345, 4))));
  EXPECT_EQ(info(d / "a.wav"), (V{2, 4294967295.0, 16, 12345}));
  // Formats READWAV refuses still have their information.
  put(d / "b.wav", form("WAVE", chunk("data", "ab") + pcm(0, 24, 44100)));
  EXPECT_EQ(info(d / "b.wav"), (V{0, 44100, 24, 0}));
}

TEST(WavRead, ChunkSearchSkipsOtherChunksAndPadBytes) {
  TempDir d;
  // Odd-sized chunks with pad bytes before the format, a "data" chunk hidden
  // inside a LIST, and chunks between and after.
  std::string body = chunk("LIST", "INFOISFT" + chunk("data", "\x09")) + chunk("JUNK", "abc") +
                     chunk("fmt ", fmt16(1, 1, 8000, 8, 8000, 1) + "x") + chunk("fact", le32(3)) +
                     chunk("cue ", le32(0)) + chunk("data", "\x07\x08\x09") + chunk("LIST", "adtl");
  put(d / "extra.wav", form("WAVE", body));
  EXPECT_EQ(frames(*readwav(d / "extra.wav")), (V{7, 8, 9}));

  // The form is looked for from the start of the file, past other chunks
  // and forms of other types.
  put(d / "second.wav", chunk("JUNK", "z") + form("AVI ", pcm(1, 8) + chunk("data", "\x01")) +
                            form("WAVE", pcm(1, 8) + chunk("data", "\x02")));
  EXPECT_EQ(frames(*readwav(d / "second.wav")), (V{2}));

  // A chunk beyond the end the form declares is not part of it.
  std::string inner = "WAVE" + pcm(1, 8);
  put(d / "outside.wav", "RIFF" + le32(inner.size()) + inner + chunk("data", "\x01\x02"));
  EXPECT_EQ(raised([&] { readwav(d / "outside.wav"); }), (Raised{"file i/o error", kAll}));
}

TEST(WavRead, RefusalsComeInTheirOrder) {
  TempDir d;
  const std::string ok = pcm(1, 8) + chunk("data", "\x01");
  struct Case {
    std::string bytes, read, info;  // expected messages; "" when info succeeds
  } cases[] = {
      {"", "NOTAWAVFILE", "NOTAWAVFILE"},
      {"hello, this is text", "NOTAWAVFILE", "NOTAWAVFILE"},
      {form("WAVX", ok), "NOTAWAVFILE", "NOTAWAVFILE"},
      {form("WAVE", chunk("data", "\x01")), "file i/o error", "file i/o error"},
      {form("WAVE", chunk("fmt ", fmt16(1, 1, 8000, 8, 8000, 1).substr(0, 14))), "ERROR_FMT_READ",
       "ERROR_FMT_READ"},
      {"RIFF" + le32(100) + "WAVEfmt " + le32(40) + fmt16(1, 1, 8000, 8, 8000, 1), "ERROR_FMT_READ",
       "ERROR_FMT_READ"},
      {form("WAVE", chunk("fmt ", fmt16(3, 1, 8000, 32, 32000, 4))), "NOT_PCM", "NOT_PCM"},
      {form("WAVE", chunk("data", "\x01") + pcm(1, 8)), "file i/o error", ""},
      {form("WAVE", pcm(1, 8) + chunk("data", "")), "file i/o error", ""},
      {truncated(form("WAVE", pcm(1, 24) + chunk("data", "abcdef")), 3), "out of memory", ""},
      {form("WAVE", pcm(1, 24) + chunk("data", "abc")), "BAD_INFO", ""},
      {form("WAVE", pcm(0, 8) + chunk("data", "abc")), "BAD_INFO", ""},
  };
  int i = 0;
  for (const Case& c : cases) {
    std::string path = d / ("c" + std::to_string(i++) + ".wav");
    put(path, c.bytes);
    EXPECT_EQ(raised([&] { readwav(path); }), (Raised{c.read, kAll})) << path;
    if (c.info.empty()) {
      EXPECT_NO_THROW(info(path)) << path;
    } else {
      EXPECT_EQ(raised([&] { info(path); }), (Raised{c.info, kAll})) << path;
    }
  }
  for (const std::string& path : {d / "missing.wav", d.path}) {
    EXPECT_EQ(raised([&] { readwav(path); }), (Raised{"file open error", kAll}));
    EXPECT_EQ(raised([&] { info(path); }), (Raised{"file open error", kAll}));
  }
  // A name the resolver refuses is reported with its description.
  Raised url = raised([&] { readwav("http://example.com/a.wav"); });
  EXPECT_EQ(url.index, kAll);
  EXPECT_NE(url.message.find("http"), std::string::npos) << url;
}

TEST(WavWrite, FileBytes) {
  TempDir d;
  writewav(d / "a.wav", 8000, 8, mat({{1}, {2}, {3}}));
  std::string a = get(d / "a.wav");
  EXPECT_EQ(a.size(), 50u);
  EXPECT_EQ(a.substr(4, 4), le32(42));  // three data bytes and their pad
  EXPECT_EQ(a, form("WAVE", chunk("fmt ", fmt16(1, 1, 8000, 8, 8000, 1) + le16(0)) +
                                chunk("data", "\x01\x02\x03")));

  // Elements are truncated toward zero and keep their low 16 bits.
  writewav(d / "b.wav", 44100, 16, mat({{-1, 32768}, {65537, -2.9}}));
  EXPECT_EQ(get(d / "b.wav"),
            form("WAVE", chunk("fmt ", fmt16(1, 2, 44100, 16, 176400, 4) + le16(0)) +
                             chunk("data", le16(0xffff) + le16(0x8000) + le16(1) + le16(0xfffe))));

  // Truncation toward zero, then the low 8 or 16 bits; NaN and values beyond
  // 32 bits become 0x80000000 first. The same frames as mono, stereo and
  // four channels give the same bytes.
  const std::pair<double, unsigned> low_bits[] = {
      {256, 0x100},    {-1, 0xffff},       {255.9, 0xff},          {4294967553.0, 0},
      {kNaN, 0},       {-0.5, 0},          {32768, 0x8000},        {-2.9, 0xfffe},
      {65537, 1},      {-2147483648.5, 0}, {2147483647.9, 0xffff}, {1e300, 0},
      {-32769, 0x7fff}};
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
    writewav(d / "c.wav", 8000, 8, from_frames(52 / ch, ch, v));
    EXPECT_EQ(get(d / "c.wav").substr(46), want8) << ch;
    writewav(d / "c.wav", 8000, 16, from_frames(52 / ch, ch, v));
    EXPECT_EQ(get(d / "c.wav").substr(46), want16) << ch;
  }

  // A resolution of 12.9 writes 12 bits in 2-byte samples; a negative rate
  // is stored in two's complement.
  writewav(d / "e.wav", -8000.7, 12.9, mat({{-5}}));
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
  // A resolution outside 1..16 is refused after the file was emptied.
  for (double res : {0.5, 16.5, kNaN}) {
    put(path, "keep");
    EXPECT_EQ(call(num(8000), num(res), mat({{1}})), (Raised{"BAD_RESOLUTION", 3}));
    EXPECT_EQ(get(path), "");
  }
  // Data that 32-bit RIFF sizes cannot describe: 2^32 samples of 8 bits, or
  // 2^31 of 16 bits. The elements are never looked at.
  for (std::uint32_t rows : {65536u, 32768u}) {
    auto huge =
        std::make_shared<Cvd::MatVal>(Cvd::NewArray(1), nullptr, rows, 65536, rows, nullptr);
    put(path, "keep");
    EXPECT_EQ(call(num(8000), num(rows == 65536 ? 8 : 16), huge),
              (Raised{"too many samples for a WAV file", 4}));
    EXPECT_EQ(get(path), "");
  }
  EXPECT_EQ(raised([&] { writewav(d.path, 8000, 8, mat({{1}})); }),
            (Raised{"file open error", kAll}));
  struct stat st {};
  if (stat("/dev/full", &st) == 0) {
    EXPECT_EQ(raised([&] { writewav("/dev/full", 8000, 8, mat({{1}})); }),
              (Raised{"file write error", kAll}));
  }
}

TEST(WavWrite, ReadsBackWhatWasWritten) {
  TempDir d;
  std::mt19937 rng(7);
  // Sizes that span several conversion blocks, odd data sizes, 1 to 5
  // channels.
  for (unsigned bits : {8u, 16u}) {
    for (std::uint32_t ch : {1u, 2u, 3u, 5u}) {
      std::uint32_t rows = ch == 3 ? 100001 : 4097;
      std::uniform_int_distribution<int> dist(bits == 8 ? 0 : -32768, bits == 8 ? 255 : 32767);
      V v(std::size_t{rows} * ch);
      for (double& x : v)
        x = dist(rng);
      std::string path = d / ("r" + std::to_string(bits) + std::to_string(ch) + ".wav");
      writewav(path, 22050, bits, from_frames(rows, ch, v));
      EXPECT_EQ(frames(*readwav(path)), v) << path;
      double width = bits / 8;
      EXPECT_EQ(info(path), (V{double(ch), 22050, double(bits), 22050 * ch * width}));
    }
  }
  // No rows: an empty data chunk, which READWAV then refuses.
  writewav(d / "empty.wav", 8000, 16, Cvd::MatVal::Zeros(0, 2));
  EXPECT_EQ(get(d / "empty.wav").size(), 46u);
  EXPECT_EQ(raised([&] { readwav(d / "empty.wav"); }), (Raised{"file i/o error", kAll}));
}

}  // namespace
