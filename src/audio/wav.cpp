// WAV files: GETWAVINFO, READWAV and WRITEWAV.
//
// Samples are exchanged as the numbers stored, without scaling: integer PCM
// of 1 to 8 bits per sample holds one unsigned byte per sample, of 9 to 16
// bits a signed 16-bit little-endian word, of 17 to 24 bits three bytes and
// of 25 to 32 bits four; IEEE float files hold singles or doubles. The
// extensible format is read when its sub-format is PCM or float. RIFX files
// store every field and sample big-endian; their samples are swapped in
// place, block by block, and then converted as little-endian ones. RF64 and
// BW64 files read as classic ones with the sizes of their "ds64" chunk, and
// WRITEWAV writes RF64 when the data is too large for 32-bit sizes. Sample
// data is converted in blocks of whole frames that stay in cache, straight
// between the file (or the writer's buffer) and the column-major result. A
// block is read into the result's own memory, at the place of the packed
// samples at its end, whenever a frame is no wider than one double; only
// wider frames go through a block-sized scratch buffer, so fresh memory is
// touched once. Scratch memory that cannot be had ends the call with "out of
// memory", like the result's. WRITEWAV replaces a file only with a complete
// new one.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arrays/array.h"
#include "audio/pcm.h"
#include "audio/riff.h"
#include "core/detail.h"
#include "core/limits.h"
#include "host/workers.h"
#include "io/byte_writer.h"
#include "io/endian.h"
#include "io/fd.h"
#include "io/replace.h"
#include "kexio/arrays.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"

namespace kexio {

namespace {

constexpr std::uint32_t kWave = riff::fourcc("WAVE");
constexpr std::uint32_t kFmt = riff::fourcc("fmt ");
constexpr std::uint32_t kData = riff::kData;

// The format record fields that describe the samples; 16 bytes are needed.
struct Format {
  std::uint16_t tag;
  std::uint16_t channels;
  std::uint32_t rate;
  std::uint32_t avg_bytes;
  std::uint16_t block_align;
  std::uint16_t bits;
};
constexpr std::size_t kFormatRecord = 16;
// WRITEWAV's format chunk: the record and an extra size of 0.
constexpr std::uint32_t kFormatChunk = 18;

constexpr std::uint16_t kPcm = 1;
constexpr std::uint16_t kFloat = 3;
// The extensible format continues the record with an extra size, the valid
// bits, a channel mask and a 16-byte sub-format GUID, whose first 32-bit
// field is the format tag it stands for and whose other 12 bytes are fixed.
constexpr std::uint16_t kExtensible = 0xFFFE;
constexpr std::size_t kExtension = 24;
constexpr std::size_t kGuidAt = 8;  // within the extension
constexpr std::uint8_t kGuidTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                        0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

constexpr std::uint64_t kMaxData = limits::kWavMaxData;
constexpr std::uint64_t kMaxWideData = limits::kRiffMaxWideChunk;

// The largest resolution WRITEWAV writes.
constexpr double kMaxBits = 32;

// Bytes of sample data converted per block (rounded down to whole frames).
constexpr std::size_t kBlock = std::size_t{128} << 10;

[[noreturn]] void fail(const char* message, std::uint32_t index = Kex::kWholeCall,
                       std::string detail = {}) {
  Kex::Throw(message, index, std::move(detail));
}

// The file argument resolved against the worksheet directory; a resolver
// failure is reported with its description for the whole call.
std::string resolve(const char* file, const char* cwd, int mode) {
  return CHTTPRedirector(file, cwd, mode).LocalPath();
}

// The format tag an extension names, or kExtensible when its sub-format is
// neither PCM nor float.
std::uint16_t sub_format(const std::uint8_t* ext, bool big) {
  const std::uint8_t* guid = ext + kGuidAt;
  std::uint32_t tag = big ? io::be32(guid) : io::le32(guid);
  // The GUID's 32-bit and two 16-bit fields are stored in the file's order.
  std::uint8_t tail[sizeof kGuidTail];
  std::memcpy(tail, guid + 4, sizeof tail);
  if (big) {
    std::swap(tail[0], tail[1]);
    std::swap(tail[2], tail[3]);
  }
  if ((tag != kPcm && tag != kFloat) || std::memcmp(tail, kGuidTail, sizeof kGuidTail) != 0) {
    return kExtensible;
  }
  return static_cast<std::uint16_t>(tag);
}

// Opens the file, finds the WAVE form and its format chunk, and reads the
// format record; an extensible record is reported with the tag of its
// sub-format. On return `in` is positioned at the end of the format chunk's
// data.
Format read_format(riff::Reader& in, riff::Chunk& form, riff::Chunk& fmt, const std::string& path) {
  if (!in.open(path)) fail("file open error", Kex::kWholeCall, io::failure_detail(errno, path));
  if (!in.descend_form(form, kWave)) fail("NOTAWAVFILE");
  if (!in.descend(fmt, kFmt, form)) fail("file i/o error", Kex::kWholeCall, "no format chunk");
  // The whole chunk must be in the file, and it must hold the record; only
  // the record and an extension are kept, the rest is read past.
  const std::uint8_t* rec = fmt.size < kFormatRecord ? nullptr : in.take(kFormatRecord);
  if (rec == nullptr) fail("ERROR_FMT_READ");
  const bool big = in.big_endian();
  auto u16 = [big](const std::uint8_t* p) { return big ? io::be16(p) : io::le16(p); };
  auto u32 = [big](const std::uint8_t* p) { return big ? io::be32(p) : io::le32(p); };
  Format f{u16(rec), u16(rec + 2), u32(rec + 4), u32(rec + 8), u16(rec + 12), u16(rec + 14)};
  std::uint64_t left = fmt.size - kFormatRecord;
  bool known = f.tag == kPcm || f.tag == kFloat;
  if (f.tag == kExtensible && left >= kExtension) {
    const std::uint8_t* ext = in.take(kExtension);
    if (ext == nullptr) fail("ERROR_FMT_READ");
    f.tag = sub_format(ext, big);
    known = f.tag != kExtensible;
    left -= kExtension;
  }
  if (!in.skip(left)) fail("ERROR_FMT_READ");
  if (!known) fail("NOT_PCM");
  return f;
}

// How READWAV reads the samples of a format, or nothing when it cannot.
std::optional<pcm::Sample> sample_of(const Format& f) {
  if (f.tag == kFloat) {
    if (f.bits == 32) return pcm::Sample::f32;
    if (f.bits == 64) return pcm::Sample::f64;
    return std::nullopt;
  }
  if (f.bits <= 8) return pcm::Sample::u8;
  if (f.bits <= 16) return pcm::Sample::s16;
  if (f.bits <= 24) return pcm::Sample::s24;
  if (f.bits <= 32) return pcm::Sample::s32;
  return std::nullopt;
}

// How WRITEWAV stores samples of a bit count from 1 to 32.
pcm::Sample written_as(unsigned bits) {
  if (bits <= 8) return pcm::Sample::u8;
  if (bits <= 16) return pcm::Sample::s16;
  if (bits <= 24) return pcm::Sample::s24;
  return pcm::Sample::s32;
}

// Frames per conversion block: as many as fit in kBlock, at least one.
std::size_t block_frames(std::size_t frame_bytes) {
  return std::max<std::size_t>(1, kBlock / frame_bytes);
}

}  // namespace

aVector* get_wav_info(KexCallContext* ctx, const char* file, const char* cwd) {
  std::string path = resolve(file, cwd, CHTTPRedirector::kRead);
  riff::Reader in;
  riff::Chunk form, fmt;
  Format f = read_format(in, form, fmt, path);
  double* v = Kex::allocate_doubles(4);
  if (v == nullptr) fail("out of memory");
  v[0] = f.channels;
  v[1] = f.rate;
  v[2] = f.bits;
  v[3] = f.avg_bytes;
  aVector* result = Kex::new_vector(ctx->m_alloc, 4, v);
  if (result == nullptr) fail("out of memory");
  return result;
}

aMatrix* read_wav(KexCallContext* ctx, const char* file, const char* cwd) {
  std::string path = resolve(file, cwd, CHTTPRedirector::kRead);
  riff::Reader in;
  riff::Chunk form, fmt, data;
  Format f = read_format(in, form, fmt, path);

  // The data chunk is looked for only after the format chunk.
  in.ascend(fmt);
  if (!in.descend(data, kData, form)) fail("file i/o error", Kex::kWholeCall, "no data chunk");
  if (data.size == 0) fail("file i/o error", Kex::kWholeCall, "the data chunk is empty");
  // All of the data must be in a file before anything is allocated for it; a
  // stream is read up to the size its data chunk announces and no further,
  // which may be no more than a stream is held in memory.
  if (in.is_stream() && data.size > limits::kStreamMaxBytes) {
    fail("out of memory", Kex::kWholeCall,
         "the data chunk of a stream is read up to " +
             std::to_string(limits::kStreamMaxBytes >> 30) + " GiB, this one holds " +
             grouped(data.size) + " bytes");
  }
  if (data.size > in.remaining()) {
    fail("out of memory", Kex::kWholeCall,
         "the data chunk ends " + grouped(data.size - in.remaining()) + " bytes early");
  }

  const std::optional<pcm::Sample> kind = sample_of(f);
  if (!kind) fail("BAD_INFO");
  // Without channels there are no frames to read.
  if (f.channels == 0) fail("BAD_INFO");
  const std::size_t frame = std::size_t{f.channels} * pcm::width(*kind);
  const std::size_t frames = data.size / frame;
  const unsigned channels = f.channels;
  // Only an RF64 file's data can hold more frames than a matrix has rows.
  if (frames > limits::kMaxDimension) {
    fail("out of memory", Kex::kWholeCall,
         grouped(frames) + " frames are more than a matrix holds");
  }
  const bool big = in.big_endian();

  double* values = Kex::allocate_doubles(frames * channels);
  if (values == nullptr) fail("out of memory");
  aMatrix* result =
      Kex::new_real_matrix(ctx->m_alloc, static_cast<std::uint32_t>(frames), channels, values);
  if (result == nullptr) fail("out of memory");

  // Narrow frames are read to where they would lie if the whole data were
  // packed at the end of the result, and widened from there: every double
  // written lies before the samples still to be read (see pcm::unpack).
  const std::size_t per_block = std::min(frames, block_frames(frame));
  const bool in_place = pcm::unpacks_in_place(channels, *kind);
  std::vector<std::uint8_t> scratch(in_place ? 0 : per_block * frame);
  auto* tail = reinterpret_cast<std::uint8_t*>(values + frames * channels) - frames * frame;
  for (std::size_t first = 0; first < frames; first += per_block) {
    std::size_t n = std::min(per_block, frames - first);
    std::uint8_t* block = in_place ? tail + first * frame : scratch.data();
    // A stream may end before its data chunk does, a file shrink since it
    // was measured.
    if (!in.read(block, n * frame)) fail("out of memory");
    if (big) pcm::swap_bytes(block, n * frame, *kind);
    pcm::unpack(block, n, channels, *kind, values + first, frames);
  }
  return result;
}

aComplex* write_wav(KexCallContext* ctx, const char* file, const aMatrix* m, const aComplex* rate,
                    const aComplex* resolution, const char* cwd) {
  std::string path = resolve(file, cwd, CHTTPRedirector::kWrite);
  if (!pure_real(m)) fail("must be real", 4);
  if (rate->ip != 0) fail("must be real", 2);
  if (resolution->ip != 0) fail("must be real", 3);

  io::Replacement target;
  if (int e = target.open(path, O_WRONLY))
    fail("file open error", Kex::kWholeCall, target.detail(e));
  // Checked only now: a refused resolution leaves the file existing and
  // empty, the one failure that does not keep an old file.
  const double res = resolution->rp;
  if (!(res >= 1 && res <= kMaxBits)) {
    target.commit();
    fail("BAD_RESOLUTION", 3);
  }
  const auto bits = static_cast<std::uint16_t>(res);
  const auto sample_rate = static_cast<std::uint32_t>(pcm::trunc32(rate->rp));
  const pcm::Sample kind = written_as(bits);
  const unsigned width = pcm::width(kind);

  const std::size_t rows = m->rows;
  const unsigned cols = m->cols;
  const std::uint64_t samples = std::uint64_t{rows} * cols;
  if (samples > kMaxWideData / width) fail("too many samples for a WAV file", 4);
  const std::uint64_t data_size = samples * width;

  // The sizes are known in advance, so the headers are written right the
  // first time and the file is written front to back (a pipe works too). The
  // header describes the low 16 bits of the column count as channels. Data
  // beyond 32-bit sizes makes an RF64 file, whose "ds64" chunk holds the
  // 64-bit sizes and the frame count, and whose 32-bit sizes point to it.
  const auto channels = static_cast<std::uint16_t>(cols);
  const bool wide = data_size > kMaxData;
  const std::uint64_t form_size = 4 + (wide ? 8 + riff::kDs64Record : 0) + (8 + kFormatChunk) +
                                  (8 + data_size + (data_size & 1));
  io::ByteWriter out(target.fd(), kBlock);
  if (wide) {
    out.le32(riff::kRf64);
    out.le32(riff::kSizeInDs64);
    out.le32(kWave);
    out.le32(riff::kDs64);
    out.le32(riff::kDs64Record);
    for (std::uint64_t size : {form_size, data_size, std::uint64_t{rows}}) {
      out.le32(static_cast<std::uint32_t>(size));
      out.le32(static_cast<std::uint32_t>(size >> 32));
    }
    out.le32(0);  // no table of other chunks' sizes
  } else {
    out.le32(riff::kRiff);
    out.le32(static_cast<std::uint32_t>(form_size));
    out.le32(kWave);
  }
  out.le32(kFmt);
  out.le32(kFormatChunk);
  out.le16(1);
  out.le16(channels);
  out.le32(sample_rate);
  out.le32(sample_rate * channels * width);
  out.le16(channels * width);
  out.le16(bits);
  out.le16(0);
  out.le32(kData);
  out.le32(wide ? riff::kSizeInDs64 : static_cast<std::uint32_t>(data_size));
  if (samples != 0) {
    const std::size_t frame = std::size_t{cols} * width;
    const std::size_t per_block = std::min(rows, block_frames(frame));
    for (std::size_t first = 0; first < rows; first += per_block) {
      std::size_t n = std::min(per_block, rows - first);
      std::uint8_t* block = out.room(n * frame);
      if (block == nullptr) break;
      pcm::pack(m->m_rv + first, rows, n, cols, kind, block);
      out.commit(n * frame);
    }
  }
  if ((data_size & 1) != 0) out.put(0);
  if (out.error() == ENOMEM) fail("out of memory");
  int e = out.flush() ? target.commit() : out.error();
  if (e != 0) fail("file write error", Kex::kWholeCall, target.detail(e));

  const double zero = 0.0;
  aComplex* result = Kex::new_complex(ctx->m_alloc, &zero, &zero);
  if (result == nullptr) fail("out of memory");
  return result;
}

// ---------------------------------------------------------------------------
// Typed arrays, as scipy.io.wavfile reads and writes them.

namespace {

// How scipy.io.wavfile stores the samples of a format: the array's type, and
// the bytes each sample takes in the file (in the upper bytes of the type
// when fewer). Nothing for a format it does not read.
struct ScipySample {
  Kex::Dtype type;
  unsigned stored;
};

std::optional<ScipySample> scipy_sample(const Format& f) {
  using Kex::Dtype;
  if (f.channels == 0) return std::nullopt;
  const unsigned stored = f.block_align / f.channels;
  if (f.tag == kFloat) {
    if (f.bits == 32 && stored == 4) return ScipySample{Dtype::float32, 4};
    if (f.bits == 64 && stored == 8) return ScipySample{Dtype::float64, 8};
    return std::nullopt;
  }
  if (f.bits >= 1 && f.bits <= 8) {
    if (stored == 1) return ScipySample{Dtype::uint8, 1};
    return std::nullopt;
  }
  if (f.bits > 64) return std::nullopt;
  switch (stored) {
    case 1:
      return ScipySample{Dtype::int8, 1};
    case 2:
      return ScipySample{Dtype::int16, 2};
    case 3:
    case 4:
      return ScipySample{Dtype::int32, stored};
    case 5:
    case 6:
    case 7:
    case 8:
      return ScipySample{Dtype::int64, stored};
    default:
      return std::nullopt;
  }
}

// An open WAV file at the start of its data chunk, with its format and the
// whole frames the file holds of it (a data chunk cut short gives what is
// there, as scipy does).
struct WavData {
  riff::Reader in;
  Format format{};
  bool has_data = false;
  std::uint64_t frames = 0;
};

void open_wav(WavData& w, const std::string& path) {
  riff::Chunk form, fmt, data;
  w.format = read_format(w.in, form, fmt, path);
  w.in.ascend(fmt);
  w.has_data = w.in.descend(data, kData, form);
  if (!w.has_data || w.format.block_align == 0) return;
  w.frames = std::min(data.size, w.in.remaining()) / w.format.block_align;
}

Kex::WavInfo info_of(const WavData& w) {
  const Format& f = w.format;
  return {f.channels, f.rate, f.bits, f.avg_bytes, w.frames, f.tag};
}

// Widens n samples stored in `stored` bytes (big-endian when big) to the
// type's size, the stored bytes in its upper bytes, host order.
void widen(const std::uint8_t* src, std::size_t n, unsigned stored, std::size_t size, bool big,
           std::uint8_t* dst) {
  const unsigned shift = static_cast<unsigned>(8 * (size - stored));
  for (std::size_t i = 0; i < n; ++i, src += stored, dst += size) {
    std::uint64_t v = 0;
    for (unsigned k = 0; k < stored; ++k)
      v |= std::uint64_t{src[big ? stored - 1 - k : k]} << (8 * k);
    v <<= shift;
    if (size == 8) {
      std::memcpy(dst, &v, 8);
    } else if (size == 4) {
      const auto u = static_cast<std::uint32_t>(v);
      std::memcpy(dst, &u, 4);
    } else if (size == 2) {
      const auto u = static_cast<std::uint16_t>(v);
      std::memcpy(dst, &u, 2);
    } else {
      *dst = static_cast<std::uint8_t>(v);
    }
  }
}

// The typed functions' boundary: memory exhaustion is "out of memory".
template <typename Call>
auto typed_call(Call&& call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    Kex::Throw("out of memory", Kex::kWholeCall);
  }
}

}  // namespace

}  // namespace kexio

namespace Kex {

WavInfo wav_info(const std::string& path) {
  return kexio::typed_call([&] {
    kexio::WavData w;
    kexio::open_wav(w, path);
    return kexio::info_of(w);
  });
}

Array read_wav(const std::string& path, WavInfo* info) {
  using namespace kexio;
  return typed_call([&] {
    WavData w;
    open_wav(w, path);
    if (!w.has_data) fail("file i/o error", kWholeCall, "no data chunk");
    const std::optional<ScipySample> sample = scipy_sample(w.format);
    if (!sample) fail("BAD_INFO");
    if (info != nullptr) *info = info_of(w);
    const std::size_t channels = w.format.channels;
    const std::size_t frames = static_cast<std::size_t>(w.frames);
    std::vector<std::int64_t> shape{static_cast<std::int64_t>(frames)};
    if (channels > 1) shape.push_back(static_cast<std::int64_t>(channels));
    Array a = arrays::make(sample->type, std::move(shape), arrays::Start::unwritten);
    auto* out = static_cast<std::uint8_t*>(a.data.get());
    const std::size_t size = dtype_size(sample->type);
    const std::size_t frame = std::size_t{w.format.block_align};
    const bool big = w.in.big_endian();
    if (sample->stored == size && (!big || size == 1)) {
      // Samples as the array holds them: straight into it.
      if (frames != 0 && !w.in.read(out, frames * frame)) fail("file i/o error");
      return a;
    }
    const std::size_t per_block = std::max<std::size_t>(1, kBlock / frame);
    std::vector<std::uint8_t> block(std::min(frames, per_block) * frame);
    for (std::size_t first = 0; first < frames; first += per_block) {
      const std::size_t n = std::min(per_block, frames - first);
      if (!w.in.read(block.data(), n * frame)) fail("file i/o error");
      widen(block.data(), n * channels, sample->stored, size, big, out + first * channels * size);
    }
    return a;
  });
}

void write_wav(const std::string& path, std::uint32_t rate, const ArrayView& data) {
  using namespace kexio;
  typed_call([&] {
    const std::string what = "WAV files cannot hold " + arrays::describe(data);
    const Dtype t = data.dtype;
    const bool floating = t == Dtype::float32 || t == Dtype::float64;
    if (!floating && t != Dtype::uint8 && t != Dtype::int8 && t != Dtype::int16 &&
        t != Dtype::int32 && t != Dtype::int64) {
      arrays::refuse_value(what +
                           ": samples are uint8, int8, int16, int32, int64, float32 or "
                           "float64");
    }
    if (data.shape.empty() || data.shape.size() > 2) {
      arrays::refuse_value(what + ": the data is (frames,) or (frames, channels)");
    }
    const std::size_t width = dtype_size(t);
    const std::uint64_t frames = static_cast<std::uint64_t>(data.shape[0]);
    const std::uint64_t channels =
        data.shape.size() == 2 ? static_cast<std::uint64_t>(data.shape[1]) : 1;
    const std::uint64_t bytes = arrays::samples(data.shape, width) * width;
    const std::uint64_t block_align = channels * width;
    if (block_align > 0xFFFF) arrays::refuse_value(what + ": too many channels");
    if (std::uint64_t{rate} * block_align > 0xFFFFFFFF) {
      arrays::refuse_value(what + " at " + std::to_string(rate) +
                           " frames per second: the byte rate exceeds 32 bits");
    }
    // The header scipy writes: a format record, with an extra size of 0
    // and a fact chunk of the frame count for float; no pad byte.
    const std::uint32_t fmt_size = floating ? 18 : 16;
    const std::uint64_t header = 12 + 8 + fmt_size + (floating ? 12 : 0);
    if (header - 8 + 8 + bytes > 0xFFFFFFFF) arrays::refuse_value(what + ": data beyond 4 GiB");

    io::Replacement target;
    if (int e = target.open(path, O_WRONLY)) fail("file open error", 1, target.detail(e));
    io::ByteWriter out(target.fd(), 256);
    out.le32(riff::kRiff);
    out.le32(static_cast<std::uint32_t>(header + bytes));
    out.le32(kWave);
    out.le32(kFmt);
    out.le32(fmt_size);
    out.le16(floating ? kFloat : kPcm);
    out.le16(static_cast<std::uint32_t>(channels));
    out.le32(rate);
    out.le32(static_cast<std::uint32_t>(rate * block_align));
    out.le16(static_cast<std::uint32_t>(block_align));
    out.le16(static_cast<std::uint32_t>(width * 8));
    if (floating) {
      out.le16(0);
      out.le32(riff::fourcc("fact"));
      out.le32(4);
      out.le32(static_cast<std::uint32_t>(frames));
    }
    out.le32(kData);
    out.le32(static_cast<std::uint32_t>(bytes));
    int e = out.flush() ? 0 : out.error();
    if (e == 0 && bytes != 0 && !io::write_full(target.fd(), data.data, bytes)) e = errno;
    if (e == 0) e = target.commit();
    if (e != 0) fail("file write error", kWholeCall, target.detail(e));
    return 0;
  });
}

}  // namespace Kex
