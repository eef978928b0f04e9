// The GIF decoder: the first image of a GIF file (versions 87a and 89a),
// interlaced or not, looked up in its local or the global colour table.
// Extensions are skipped but for the transparent index of the graphic
// control before the image, which sinks that keep alpha receive; animation
// and later images are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "image/decode/decoder.h"
#include "io/byte_reader.h"

namespace kexio {

// GIF files: those that start with "G".
extern const DecoderFormat kGifFormat;

class GifDecoder final : public Decoder {
 public:
  // How an extension of a label the decoder does not know is read: as the
  // original reads it, its label alone taken and the bytes after it scanned
  // as blocks, or with its sub-blocks skipped, as GIF89a asks.
  enum class UnknownLabels { kScanned, kSkipped };

  // Reads the headers, the blocks before the first image and its colour
  // table from in, which the decoder keeps, up to the first code of the
  // image data, and starts the code stream (the first pixel); failures are
  // recorded in the status.
  explicit GifDecoder(io::ByteReader in, UnknownLabels labels = UnknownLabels::kScanned);
  ~GifDecoder() override;

  // The decoder the factory makes: one that scans unknown extensions, unless
  // the file has one and that reading ends in an error, when one that skips
  // them (which a file in memory allows to find out).
  static std::unique_ptr<Decoder> make(KexCallContext* ctx, io::ByteReader&& in,
                                       const std::string& path);

  int status() override;
  int rows() const override { return m_height; }
  int cols() const override { return m_width; }
  int decode(ImageSink& out) override;

 private:
  // Decodes the next stored row of colour indices into the row buffer.
  int read_row();
  // decode() into out, or with out null only to find the outcome.
  int decode_rows(ImageSink* out);
  int decode_alongside(ImageSink& out, std::uint8_t* rows, std::int64_t& y);
  struct Tables;

  int read_header();
  int find_image();
  int read_extension();
  int read_descriptor();
  int read_colours(std::size_t entries);
  void skip_sub_blocks();
  void prepare_data();

  void refill();
  int read_code();
  int read_code_slow();
  void reset_table();
  int restart(std::uint8_t* row, int n);
  int table_full(std::uint8_t* row, int n);
  int spill(std::uint8_t* row, int n, int code, bool repeat, unsigned& root);
  int take_pending(std::uint8_t* row, int n);
  bool append_pending(std::uint8_t byte);
  int decode_codes(std::uint8_t* row, int n);

  io::ByteReader m_in;
  UnknownLabels m_labels;
  bool m_met_unknown = false;  // an unknown label was scanned over
  std::vector<Rgb> m_colours;  // the local table, else the global one
  bool m_found_image = false;
  int m_width = 0, m_height = 0;
  bool m_interlaced = false;
  int m_transparent = -1;  // the transparent index, or -1

  // The image data: sub-blocks gathered into one run of bytes, read from
  // bit m_bit on. Bytes from m_eof_at on stand for bytes the file did not
  // have (they read as 0xFF); reading one of them is an end of file.
  std::unique_ptr<std::uint8_t[]> m_data;
  std::unique_ptr<std::uint8_t[]> m_row_before;  // the row buffer as the row began
  std::size_t m_data_len = 0;
  std::size_t m_bit = 0;
  std::size_t m_fast_bits = 0;  // codes ending at or before this bit need no checks
  std::size_t m_eof_at = SIZE_MAX;
  bool m_data_ended = false;  // no sub-block follows those gathered
  bool m_eof = false;         // the code stream read past the end of the file

  // The code table and its state.
  std::unique_ptr<Tables> m_tables;
  int m_min_width = 0;   // code width after a clear code
  int m_code_width = 0;  // current code width
  int m_limit = 0;       // 2 to the power of the code width
  int m_clear = 0, m_end = 0;
  int m_next = 0;        // next free code
  int m_old = 0;         // the code before
  unsigned m_first = 0;  // first index of the string of m_old
  // Since the last clear, every string ends at a root: the lengths in the
  // table are exact and strings can be written straight into the row.
  bool m_plain = true;
  bool m_ended = false;  // end code, or the end of the data
  int m_held = -1;       // a code read after the table filled, not yet decoded
  // Indices decoded past the end of a row, the first ones of the next.
  std::size_t m_pend_pos = 0, m_pend_len = 0;
};

}  // namespace kexio
