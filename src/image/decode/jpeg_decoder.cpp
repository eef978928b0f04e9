#include "image/decode/jpeg_decoder.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <csetjmp>
#include <cstdint>
#include <cstdio>  // before jpeglib.h, which uses FILE
#include <cstring>
#include <mutex>
#include <new>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

namespace kexio {

namespace {

// A band of decoded rows holds about this many bytes, and at least one row
// group of the library (16 rows).
constexpr std::size_t kBandBytes = std::size_t{512} << 10;
constexpr std::size_t kMinBandRows = 16;
// Bands a second thread may decode ahead of the writing of the result.
constexpr int kBands = 3;
// pipelined() could not start its thread.
constexpr int kNoThread = -2;
// Each scan of a progressive file passes over the whole picture, so a small
// file of very many scans could keep one call busy for hours. Files of more
// scans than this are refused, the bound libjpeg-turbo's TurboJPEG API
// applies when asked to limit scans.
constexpr int kMaxScans = 500;
// Bytes a streamed source hands to the library at a time.
constexpr std::size_t kChunk = std::size_t{4} << 10;

// The library's error manager, with where its fatal errors jump to and the
// decoder code they end in.
struct Trap {
  jpeg_error_mgr mgr;  // first: the library's err pointer is the Trap's
  std::jmp_buf jump;
  int code;
};

[[noreturn]] void fail(j_common_ptr cinfo, int code) {
  Trap* trap = reinterpret_cast<Trap*>(cinfo->err);
  trap->code = code;
  std::longjmp(trap->jump, 1);
}

int code_of(int msg_code) {
  switch (msg_code) {
    case JERR_OUT_OF_MEMORY:
    case JERR_BAD_VIRTUAL_ACCESS:
      return kOutOfMemory;
    case JERR_INPUT_EOF:
      return kEndOfInput;
    default:
      return -1;  // "file i/o error"
  }
}

// Fatal errors end the current step with their code. Warnings and trace
// messages are dropped: a file cut short in its scan data decodes, the rest
// of the picture filled in by the library.
void error_exit(j_common_ptr cinfo) {
  fail(cinfo, code_of(cinfo->err->msg_code));
}
void drop_message(j_common_ptr) {}

void limit_scans(j_common_ptr cinfo) {
  if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxScans) fail(cinfo, -1);
}

// A data source over a reader whose contents are not in memory (a pipe or a
// device): the library gets the reader's buffer a chunk at a time.
struct Source {
  jpeg_source_mgr mgr;  // first, as above
  io::ByteReader* in;
};

void init_source(j_decompress_ptr) {}
void term_source(j_decompress_ptr) {}

boolean fill_input_buffer(j_decompress_ptr cinfo) {
  Source* src = reinterpret_cast<Source*>(cinfo->src);
  std::span<const std::uint8_t> bytes = src->in->window(kChunk);
  if (bytes.empty()) {
    if (src->in->io_error()) ERREXIT(cinfo, JERR_FILE_READ);
    // The end of the data: an end-of-image marker, as the library's own
    // sources insert.
    static constexpr JOCTET kEnd[2] = {0xFF, JPEG_EOI};
    WARNMS(cinfo, JWRN_JPEG_EOF);
    src->mgr.next_input_byte = kEnd;
    src->mgr.bytes_in_buffer = sizeof kEnd;
    return TRUE;
  }
  src->in->skip(bytes.size());  // the window stays valid until the next fill
  src->mgr.next_input_byte = bytes.data();
  src->mgr.bytes_in_buffer = bytes.size();
  return TRUE;
}

void skip_input_data(j_decompress_ptr cinfo, long n) {
  if (n <= 0) return;
  Source* src = reinterpret_cast<Source*>(cinfo->src);
  auto count = static_cast<std::size_t>(n);
  if (count <= src->mgr.bytes_in_buffer) {
    src->mgr.next_input_byte += count;
    src->mgr.bytes_in_buffer -= count;
    return;
  }
  count -= src->mgr.bytes_in_buffer;
  src->mgr.bytes_in_buffer = 0;
  src->in->skip(count);  // past the end, the next fill ends the data
}

// The memory the library may use for whole-picture buffers (progressive
// files): what the system has available. 0 (no bound) when it cannot tell.
long available_memory() {
  long pages = sysconf(_SC_AVPHYS_PAGES);
  long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return 0;
  return pages > LONG_MAX / page ? LONG_MAX : pages * page;
}

// The steps of library calls, each run with its fatal errors caught.
using Step = void (*)(j_decompress_ptr cinfo, void* arg);

void create(j_decompress_ptr cinfo, void*) {
  jpeg_create_decompress(cinfo);
}

void read_header(j_decompress_ptr cinfo, void* arg) {
  Source* src = static_cast<Source*>(arg);
  if (const std::uint8_t* bytes = src->in->contents()) {
    jpeg_mem_src(cinfo, bytes, static_cast<unsigned long>(src->in->size()));
  } else {
    cinfo->src = &src->mgr;
  }
  jpeg_read_header(cinfo, TRUE);
}

void start(j_decompress_ptr cinfo, void*) {
  jpeg_start_decompress(cinfo);
}

struct Band {
  JSAMPARRAY rows;
  JDIMENSION want;
  JDIMENSION got;
};

void read_band(j_decompress_ptr cinfo, void* arg) {
  Band* band = static_cast<Band*>(arg);
  while (band->got < band->want && cinfo->output_scanline < cinfo->output_height) {
    JDIMENSION n = jpeg_read_scanlines(cinfo, band->rows + band->got, band->want - band->got);
    if (n == 0) break;
    band->got += n;
  }
}

void finish(j_decompress_ptr cinfo, void*) {
  jpeg_finish_decompress(cinfo);
}

// Adobe files store CMYK inverted (255 is no ink); as Pillow reads them, red
// is C·K/255 rounded, green M·K/255 and blue Y·K/255. The row of width
// pixels becomes three samples per pixel in place.
inline JSAMPLE times_k(unsigned v, unsigned k) {
  unsigned t = v * k + 128;  // v·k/255 rounded, exactly, for v, k <= 255
  return static_cast<JSAMPLE>((t + (t >> 8)) >> 8);
}

void cmyk_to_rgb(JSAMPLE* px, std::size_t width) {
  for (std::size_t x = 0; x < width; ++x) {
    const unsigned c = px[4 * x], m = px[4 * x + 1], y = px[4 * x + 2], k = px[4 * x + 3];
    px[3 * x] = times_k(c, k);
    px[3 * x + 1] = times_k(m, k);
    px[3 * x + 2] = times_k(y, k);
  }
}

int sniff_jpeg(const Lead&, io::ByteReader& in) {
  std::span<const std::uint8_t> b = in.window(10);
  if (b.size() < 10) return kFileIoError;
  const bool marker = b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF;
  return marker || std::memcmp(b.data() + 6, "JFIF", 4) == 0 ? 0 : kUnknownFormat;
}

}  // namespace

// setjmp and longjmp stay between run() and the library: no object with a
// destructor lives in the frames a fatal error jumps across.
struct JpegDecoder::Session {
  Trap trap{};
  Source source{};
  jpeg_progress_mgr progress{};
  jpeg_decompress_struct cinfo{};

  ~Session() { jpeg_destroy_decompress(&cinfo); }

  int run(Step step, void* arg) {
    if (setjmp(trap.jump) != 0) return trap.code;
    step(&cinfo, arg);
    return 0;
  }

  int open(io::ByteReader& in) {
    cinfo.err = jpeg_std_error(&trap.mgr);
    trap.mgr.error_exit = error_exit;
    trap.mgr.output_message = drop_message;
    if (int code = run(create, nullptr)) return code;
    cinfo.mem->max_memory_to_use = available_memory();
    progress.progress_monitor = limit_scans;
    cinfo.progress = &progress;
    source.in = &in;
    source.mgr.init_source = init_source;
    source.mgr.fill_input_buffer = fill_input_buffer;
    source.mgr.skip_input_data = skip_input_data;
    source.mgr.resync_to_restart = jpeg_resync_to_restart;
    source.mgr.term_source = term_source;
    return run(read_header, &source);
  }

  // Decodes the next rows, at most n, into rows: 0 or a code.
  int next_band(JSAMPARRAY rows, std::size_t n, JDIMENSION& got) {
    Band band{rows, static_cast<JDIMENSION>(n), 0};
    int code = run(read_band, &band);
    got = band.got;
    return code == 0 && got == 0 ? -1 : code;  // no progress: never with these sources
  }
  bool more_rows() const { return cinfo.output_scanline < cinfo.output_height; }

  // Decodes the whole picture in the output colour space and hands it to
  // sink(band, stride, n, top) a band of n rows at a time (row j at band +
  // j · stride samples), the band's rows being picture rows top .. top + n
  // - 1. Returns 0 or a code.
  template <typename Sink>
  int decode(J_COLOR_SPACE space, Sink&& sink) {
    cinfo.out_color_space = space;
    if (int code = run(start, nullptr)) return code;
    const std::size_t stride = static_cast<std::size_t>(cinfo.output_width) *
                               static_cast<std::size_t>(cinfo.output_components);
    const std::size_t n = std::min<std::size_t>(
        std::max(kBandBytes / stride / kMinBandRows, std::size_t{1}) * kMinBandRows,
        cinfo.output_height);
    const int bands = cinfo.output_height > n ? kBands : 1;
    std::vector<JSAMPLE> samples;
    std::vector<JSAMPROW> rows;
    try {
      samples.resize(bands * n * stride);
      rows.resize(bands * n);
    } catch (const std::bad_alloc&) {
      return kOutOfMemory;
    }
    for (std::size_t i = 0; i < rows.size(); ++i)
      rows[i] = samples.data() + i * stride;
    auto hand = [&](int b, JDIMENSION got, std::int64_t top) {
      sink(rows[b * n], stride, static_cast<int>(got), top);
    };
    int code = bands > 1 ? pipelined(rows.data(), n, hand) : kNoThread;
    if (code == kNoThread) {
      code = 0;
      for (std::int64_t top = 0; code == 0 && more_rows();) {
        JDIMENSION got = 0;
        code = next_band(rows.data(), n, got);
        if (code == 0) hand(0, got, top);
        top += got;
      }
    }
    return code != 0 ? code : run(finish, nullptr);
  }

  // Decodes bands on a second thread, up to kBands ahead of hand(band,
  // rows, top) on this one, so that the library and the writing of the
  // result's columns run side by side. Returns 0, a code, or kNoThread when
  // no thread could be started (nothing is decoded then).
  template <typename Hand>
  int pipelined(JSAMPARRAY rows, std::size_t n, Hand& hand) {
    struct Slot {
      bool full = false;
      bool last = false;
      int code = 0;
      JDIMENSION got = 0;
      std::int64_t top = 0;
    } slots[kBands];
    std::mutex m;
    std::condition_variable changed;
    auto produce = [&] {
      std::int64_t top = 0;
      for (int b = 0;; b = (b + 1) % kBands) {
        {
          std::unique_lock lock(m);
          changed.wait(lock, [&] { return !slots[b].full; });
        }
        JDIMENSION got = 0;
        const int code = next_band(rows + b * n, n, got);
        const bool last = code != 0 || !more_rows();
        {
          std::lock_guard lock(m);
          slots[b] = {true, last, code, got, top};
        }
        changed.notify_all();
        if (last) return;
        top += got;
      }
    };
    std::thread worker;
    try {
      worker = std::thread(produce);
    } catch (const std::system_error&) {
      return kNoThread;
    }
    int code = 0;
    for (int b = 0;; b = (b + 1) % kBands) {
      Slot slot;
      {
        std::unique_lock lock(m);
        changed.wait(lock, [&] { return slots[b].full; });
        slot = slots[b];
      }
      code = slot.code;
      if (code == 0) hand(b, slot.got, slot.top);
      if (slot.last) break;
      {
        std::lock_guard lock(m);
        slots[b].full = false;
      }
      changed.notify_all();
    }
    worker.join();
    return code;
  }
};

JpegDecoder::JpegDecoder(io::ByteReader in) : m_in(std::move(in)) {
  m_session.reset(new (std::nothrow) Session());
  if (m_session == nullptr) {
    m_status = kOutOfMemory;
    return;
  }
  m_status = m_session->open(m_in);
  if (m_status != 0) return;
  const jpeg_decompress_struct& c = m_session->cinfo;
  m_width = static_cast<int>(c.image_width);
  m_height = static_cast<int>(c.image_height);
  m_grey = c.jpeg_color_space == JCS_GRAYSCALE;
  m_cmyk = c.jpeg_color_space == JCS_CMYK || c.jpeg_color_space == JCS_YCCK;
}

JpegDecoder::~JpegDecoder() = default;

int JpegDecoder::decode(ImageSink& out) {
  if (m_status != 0) return m_status;
  // CMYK has no grey output in the library: its grey levels come from the
  // red, green and blue it is converted to.
  J_COLOR_SPACE space = JCS_RGB;
  if (m_grey || (!m_cmyk && out.grey_only())) space = JCS_GRAYSCALE;
  if (m_cmyk) space = JCS_CMYK;
  const auto width = static_cast<std::size_t>(m_width);
  const PixelLayout layout =
      space == JCS_GRAYSCALE ? PixelLayout::grey() : PixelLayout::rgb(3, 0, 1, 2);
  m_status = m_session->decode(space, [&](JSAMPLE* band, std::size_t stride, int n, std::int64_t) {
    if (space == JCS_CMYK) {
      for (int i = 0; i < n; ++i)
        cmyk_to_rgb(band + static_cast<std::size_t>(i) * stride, width);
    }
    out.rows(band, static_cast<std::ptrdiff_t>(stride), n, layout);
  });
  return m_status;
}

const DecoderFormat kJpegFormat = {"jpeg", "jpg", sniff_jpeg, make_decoder<JpegDecoder>};

}  // namespace kexio
