// A small RIFF chunk layer: descend into a form, find a chunk within it,
// ascend out of a chunk, create chunks, read and write their data.
//
// Every chunk is a four-character code, a 32-bit little-endian size of the
// data that follows, and the data, padded with one zero byte to an even
// length (the size does not count the pad byte). A "RIFF" or "LIST" chunk
// starts its data with a four-character form type, which its size counts.
//
// Positions are 64-bit, so sizes near 2^32 and seeks past the end of a file
// are plain arithmetic: a search that runs past the end simply fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

struct Chunk {
  std::uint32_t id = 0;
  std::uint32_t size = 0;  // bytes of data, without the pad byte
  std::uint32_t form = 0;  // form type of a "RIFF" or "LIST" chunk
  // Offset of the data; for a "RIFF" or "LIST" chunk that is where the form
  // type is stored.
  std::uint64_t data_offset = 0;
};

// Reads the chunks of an existing file. The file stays open until the reader
// is destroyed.
class Reader {
 public:
  Reader() = default;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader();

  // Opens path for reading at position 0; false when it cannot be opened or
  // is a directory. A file that cannot be read at any offset (a pipe, a
  // terminal) is read into memory in full, so every later operation works
  // on known bytes.
  bool open(const std::string& path);

  // Searches from the current position to the end of the file for a "RIFF"
  // chunk of the given form type, skipping every other chunk. On success ck
  // describes it and the position is just after its form type.
  bool descend_form(Chunk& ck, std::uint32_t form);

  // Searches from the current position to the end of parent for a chunk
  // with the given id, skipping other chunks and their pad bytes. On success
  // ck describes it and the position is at its data (after the form type for
  // a "RIFF" or "LIST" chunk).
  bool descend(Chunk& ck, std::uint32_t id, const Chunk& parent);

  // Moves the position past the end of ck and its pad byte.
  void ascend(const Chunk& ck);

  // Reads up to n bytes at the current position and moves past them;
  // returns the number of bytes read (fewer at the end of the file).
  std::size_t read(void* buf, std::size_t n);

  // Bytes between the current position and the end of the file.
  std::uint64_t remaining() const { return m_pos < m_size ? m_size - m_pos : 0; }

 private:
  std::size_t read_at(std::uint64_t offset, void* buf, std::size_t n) const;
  bool find(Chunk& ck, std::uint32_t id, std::uint32_t form, std::uint64_t end);

  int m_fd = -1;
  bool m_in_memory = false;
  std::vector<unsigned char> m_bytes;  // the whole file when m_in_memory
  std::uint64_t m_size = 0;
  std::uint64_t m_pos = 0;
};

// Writes a new file chunk by chunk. Small writes are gathered in a buffer;
// once anything fails, every later operation fails too.
class Writer {
 public:
  Writer() = default;
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  // Closes the file if close() was not called, writing what is buffered.
  ~Writer();

  // Creates path, or empties it when it exists; false when it cannot.
  bool create(const std::string& path);

  // Writes the header of a "RIFF" chunk with form type ck.form and size
  // ck.size at the current position; ck.id becomes "RIFF".
  bool create_form(Chunk& ck);
  // Writes the header of a chunk with id ck.id and size ck.size.
  bool create_chunk(Chunk& ck);

  bool write(const void* data, std::size_t n);

  // Ends ck at the current position: writes a zero pad byte when its data
  // has an odd length, and corrects the size in its header when it differs
  // from ck.size (which is then updated).
  bool ascend(Chunk& ck);

  // Writes what is buffered and closes the file; false when anything failed
  // since create().
  bool close();

 private:
  bool flush();
  bool put_header(Chunk& ck, bool form);

  int m_fd = -1;
  bool m_failed = false;
  std::uint64_t m_pos = 0;      // offset of the next byte written
  std::uint64_t m_flushed = 0;  // offset of the first byte in m_buf
  std::vector<unsigned char> m_buf;
};

}  // namespace kexio::riff
