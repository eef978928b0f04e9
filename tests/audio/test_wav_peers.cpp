// WAV files of other tools read the same as scipy reads them, and the files
// we write are read by scipy and sox with the same samples. Skipped when
// Debian's python3 with numpy and scipy is missing; the sox files only when
// sox is.
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>

#include "wav_support.h"

namespace {

using namespace wav_test;

constexpr const char* kPython = "/usr/bin/python3";

// Writes files with sox, the wave module and scipy (and one with extra
// chunks around the data), and for each one a manifest line "name rows cols
// rate bits" and the samples scipy reads as frame-ordered doubles in
// name.f64; or "name MESSAGE" for a file READWAV must refuse.
constexpr const char* kMakeFiles = R"PY(
import os, shutil, struct, subprocess, sys, wave
import numpy as np
from scipy.io import wavfile
d = sys.argv[1]
rng = np.random.default_rng(1)
out = open(os.path.join(d, 'manifest'), 'w')
def p(name): return os.path.join(d, name)
def expect(name, bits):
    rate, x = wavfile.read(p(name))
    x = x.reshape(len(x), -1)
    x.astype(np.float64).tofile(p(name + '.f64'))
    out.write('%s %d %d %d %d\n' % (name, x.shape[0], x.shape[1], rate, bits))
if shutil.which('sox'):
    for name, bits, args in [('sox16s.wav', 16, '-r 44100 -c 2'), ('sox8m.wav', 8, '-r 8000 -c 1'),
                             ('sox8odd.wav', 8, '-r 8010 -c 1'),
                             ('sox4.wav', 16, '-r 8000 -c 4 -t wavpcm'),
                             ('sox3u8.wav', 8, '-r 11025 -c 3 -t wavpcm')]:
        subprocess.run(['sox', '-n', '-b', str(bits)] + args.split() +
                       [p(name), 'synth', '0.1', 'sine', '440', 'sine', '660'], check=True)
        expect(name, bits)
    # More than two channels make sox write the extensible format by default.
    subprocess.run(['sox', '-n', '-r', '8000', '-b', '16', '-c', '4', p('soxext.wav'),
                    'synth', '0.01', 'sine', '440'], check=True)
    out.write('soxext.wav NOT_PCM\n')
def with_wave(name, ch, width, frames):
    lo, hi = (0, 256) if width == 1 else (-32768, 32768)
    x = rng.integers(lo, hi, size=(frames, ch))
    with wave.open(p(name), 'wb') as w:
        w.setnchannels(ch); w.setsampwidth(width); w.setframerate(16000)
        w.writeframes(x.astype('u1' if width == 1 else '<i2').tobytes())
    expect(name, 8 * width)
with_wave('wave3.wav', 3, 2, 1001)
with_wave('wave8odd.wav', 1, 1, 999)
with_wave('wave5.wav', 5, 1, 3)
wavfile.write(p('scipy16.wav'), 22050, rng.integers(-32768, 32768, 777).astype(np.int16))
expect('scipy16.wav', 16)
wavfile.write(p('scipy8.wav'), 8000, rng.integers(0, 256, (5, 1)).astype(np.uint8))
expect('scipy8.wav', 8)
def ck(i, b): return i + struct.pack('<I', len(b)) + b + b'\0' * (len(b) % 2)
raw = open(p('wave3.wav'), 'rb').read()
assert raw[12:16] == b'fmt ' and raw[36:40] == b'data'
body = (b'WAVE' + ck(b'LIST', b'INFO' + ck(b'ISFT', b'peer\0')) + ck(b'JUNK', b'odd') +
        raw[12:36] + ck(b'fact', struct.pack('<I', 1001)) + ck(b'cue ', b'\0' * 4) + raw[36:] +
        ck(b'cue ', b'\0' * 4) + ck(b'LIST', b'adtlx'))
open(p('extra.wav'), 'wb').write(ck(b'RIFF', body))
expect('extra.wav', 16)
)PY";

// Checks every file named in the manifest (lines "name rows cols rate
// bits", samples in name.f64) with scipy, soxi and sox; prints what differs
// and exits 1 when anything does.
constexpr const char* kCheckFiles = R"PY(
import os, shutil, subprocess, sys
import numpy as np
from scipy.io import wavfile
d = sys.argv[1]
bad = 0
for line in open(os.path.join(d, 'manifest')):
    name, rows, cols, rate, bits = line.split()
    rows, cols, rate, bits = int(rows), int(cols), int(rate), int(bits)
    path = os.path.join(d, name)
    want = np.fromfile(path + '.f64').reshape(rows, cols)
    r, x = wavfile.read(path)
    if r != rate or not np.array_equal(x.reshape(len(x), -1), want):
        print('scipy reads differently:', name); bad = 1
    if shutil.which('soxi'):
        got = [subprocess.run(['soxi', f, path], capture_output=True, text=True).stdout.strip()
               for f in ('-c', '-r', '-b', '-s')]
        if got != [str(cols), str(rate), str(bits), str(rows)]:
            print('soxi reports', got, 'for', name); bad = 1
        kind, dtype = ('u8', 'u1') if bits <= 8 else ('s16', '<i2')
        pcm = subprocess.run(['sox', path, '-t', kind, '-'], capture_output=True).stdout
        if pcm != want.astype(dtype).tobytes():
            print('sox reads differently:', name); bad = 1
sys.exit(bad)
)PY";

bool have_peers() {
  return std::system(
             (std::string(kPython) + " -c 'import numpy, scipy.io.wavfile' 2>/dev/null").c_str()) ==
         0;
}

// Runs a Python script with the folder as its argument; returns its exit
// status and puts its output in `log`.
int run_python(const TempDir& d, const char* script, std::string& log) {
  put(d / "script.py", script);
  std::string cmd = std::string(kPython) + " " + d / "script.py" + " " + d.path + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p) != nullptr)
    log += buf;
  return pclose(p);
}

std::vector<double> doubles(const std::string& path) {
  std::string b = get(path);
  std::vector<double> v(b.size() / sizeof(double));
  std::memcpy(v.data(), b.data(), v.size() * sizeof(double));
  return v;
}

TEST(WavPeers, FilesOfOtherToolsReadAsTheyDo) {
  if (!have_peers()) GTEST_SKIP() << "needs " << kPython << " with numpy and scipy";
  TempDir d;
  std::string log;
  ASSERT_EQ(run_python(d, kMakeFiles, log), 0) << log;
  std::istringstream manifest(get(d / "manifest"));
  std::string line;
  int files = 0;
  while (std::getline(manifest, line)) {
    std::istringstream f(line);
    std::string name, refusal;
    double rows, cols, rate, bits;
    f >> name;
    if (!(f >> rows >> cols >> rate >> bits)) {
      std::istringstream(line.substr(name.size())) >> refusal;
      EXPECT_EQ(raised([&] { readwav(d / name); }), (Raised{refusal, kAll})) << name;
      continue;
    }
    auto m = readwav(d / name);
    EXPECT_EQ(m->get_Rows(), rows) << name;
    EXPECT_EQ(frames(*m), doubles(d / (name + ".f64"))) << name;
    EXPECT_EQ(info(d / name), (std::vector<double>{cols, rate, bits, rate * cols * bits / 8}))
        << name;
    ++files;
  }
  EXPECT_GE(files, 6);
}

TEST(WavPeers, ToolsReadWhatWeWrite) {
  if (!have_peers()) GTEST_SKIP() << "needs " << kPython << " with numpy and scipy";
  TempDir d;
  std::mt19937 rng(3);
  std::string manifest;
  struct {
    std::uint32_t rows, cols, rate, bits;
  } files[] = {{1001, 2, 44100, 16}, {999, 1, 8000, 8}, {500, 3, 16000, 16}, {7, 5, 11025, 8}};
  for (const auto& f : files) {
    std::string name = "ours" + std::to_string(f.cols) + "x" + std::to_string(f.bits) + ".wav";
    std::uniform_int_distribution<int> dist(f.bits == 8 ? 0 : -32768, f.bits == 8 ? 255 : 32767);
    std::vector<double> v(std::size_t{f.rows} * f.cols);
    for (double& x : v)
      x = dist(rng);
    writewav(d / name, f.rate, f.bits, from_frames(f.rows, f.cols, v));
    put(d / (name + ".f64"), std::string(reinterpret_cast<const char*>(v.data()), v.size() * 8));
    manifest += name + " " + std::to_string(f.rows) + " " + std::to_string(f.cols) + " " +
                std::to_string(f.rate) + " " + std::to_string(f.bits) + "\n";
  }
  put(d / "manifest", manifest);
  std::string log;
  EXPECT_EQ(run_python(d, kCheckFiles, log), 0) << log;
}

}  // namespace
