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

#include "audio/pcm.h"
#include "audio/riff.h"
#include "core/detail.h"
#include "core/limits.h"
#include "host/workers.h"
#include "io/byte_writer.h"
#include "io/replace.h"
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

aVector* GETWAVINFO(KexCallContext* ctx, const char* file, const char* cwd) {
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

aMatrix* READWAV(KexCallContext* ctx, const char* file, const char* cwd) {
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

aComplex* WRITEWAV(KexCallContext* ctx, const char* file, const aMatrix* m, const aComplex* rate,
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

}  // namespace kexio
