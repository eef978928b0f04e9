// Reading the chunks of a RIFF file: descend into a form, find a chunk within
// it, ascend out of a chunk, take its data.
//
// Every chunk is a four-character code, a 32-bit little-endian size of the
// data that follows, and the data, padded with one zero byte to an even
// length (the size does not count the pad byte). A "RIFF" or "LIST" chunk
// starts its data with a four-character form type, which its size counts.
//
// Two other forms hold the same chunks. "RIFX" stores every size (and every
// field of the chunks' data) big-endian. "RF64" and its twin "BW64" hold
// data beyond 4 GiB: their form size and the "data" chunk's size may be
// 0xFFFFFFFF, standing for the 64-bit sizes of a "ds64" chunk that must come
// first in the form.
//
// Positions are 64-bit, so sizes near 2^32 and positions past the end of a
// file are plain arithmetic: a search that runs past the end simply fails.
// A stream (a pipe, a device) is read front to back and never held whole:
// chunks that are skipped are read and dropped, so what is held is bounded
// by what the caller takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "io/byte_reader.h"

namespace kexio::riff {

// A four-character code as it is stored, read as a little-endian word.
constexpr std::uint32_t fourcc(const char (&s)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(s[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[3])) << 24;
}

inline constexpr std::uint32_t kRiff = fourcc("RIFF");
inline constexpr std::uint32_t kList = fourcc("LIST");
inline constexpr std::uint32_t kRifx = fourcc("RIFX");
inline constexpr std::uint32_t kRf64 = fourcc("RF64");
inline constexpr std::uint32_t kBw64 = fourcc("BW64");
inline constexpr std::uint32_t kDs64 = fourcc("ds64");
inline constexpr std::uint32_t kData = fourcc("data");
// A 32-bit size that stands for a 64-bit one of the "ds64" chunk.
inline constexpr std::uint32_t kSizeInDs64 = 0xFFFFFFFF;
// The "ds64" chunk's form size, data size and sample count, and the length
// of its table, which is not needed: only the form and "data" chunks are
// taken to be large.
inline constexpr std::uint32_t kDs64Record = 28;

struct Chunk {
  std::uint32_t id = 0;
  std::uint64_t size = 0;  // bytes of data, without the pad byte
  std::uint32_t form = 0;  // form type of a "RIFF" or "LIST" chunk
  // Offset of the data; for a "RIFF" or "LIST" chunk that is where the form
  // type is stored.
  std::uint64_t data_offset = 0;
};

class Reader {
 public:
  // Opens path for reading at position 0; false when it cannot be opened or
  // is a folder.
  bool open(const std::string& path);

  // Searches from the current position to the end of the file for a "RIFF"
  // chunk of the given form type, skipping every other chunk; when there is
  // none, a "RIFX", "RF64" or "BW64" form at the position is taken. On
  // success ck describes it and the position is just after its form type
  // (and the "ds64" chunk). A stream cannot be searched without reading it
  // to its end, which may never come: there the first chunk must be the
  // form. An "RF64" or "BW64" form without a whole "ds64" chunk, or whose
  // sizes exceed what positions can hold, is not taken.
  bool descend_form(Chunk& ck, std::uint32_t form);

  // Whether the form found stores its numbers big-endian ("RIFX").
  bool big_endian() const { return m_big; }
  // Whether the file is a stream (a pipe, a FIFO, a device: no size).
  bool is_stream() const { return m_in.size() < 0; }

  // Searches from the current position to the end of parent for a chunk
  // with the given id, skipping other chunks and their pad bytes. On success
  // ck describes it and the position is at its data (after the form type for
  // a "RIFF" or "LIST" chunk).
  bool descend(Chunk& ck, std::uint32_t id, const Chunk& parent);

  // Moves the position past the end of ck and its pad byte.
  void ascend(const Chunk& ck);

  // The next n bytes, taken: contiguous and valid until the next call, or
  // null when fewer remain. For a stream they are buffered: callers bound n.
  const std::uint8_t* take(std::size_t n);
  // Copies the next n bytes to dst and moves past them; false when fewer
  // remain. Large runs of a file are read with pread rather than through
  // its mapping, whose page faults would cost more than the copy, and runs
  // of several MiB by several threads at once.
  bool read(void* dst, std::size_t n);
  // Moves past n bytes; false when fewer remain.
  bool skip(std::uint64_t n);

  // Bytes between the current position and the end of the file; for a
  // stream, whose end is not known, UINT64_MAX.
  std::uint64_t remaining() const;

 private:
  bool find(Chunk& ck, std::uint32_t id, std::uint32_t form, std::uint64_t end);
  // The form whose header is at the position, of any of the four kinds.
  bool first_form(Chunk& ck, std::uint32_t form);

  io::ByteReader m_in;
  std::uint64_t m_pos = 0;
  bool m_big = false;  // sizes are big-endian
  // The "data" size of the "ds64" chunk, taken for a 32-bit size of
  // kSizeInDs64; nothing when the form has no "ds64" chunk.
  std::optional<std::uint64_t> m_data_size;
};

}  // namespace kexio::riff
