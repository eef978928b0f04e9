// C streams over open files, for the host libraries whose interfaces take a
// FILE*. The descriptor is opened (and, when writing, replaced) through the
// rest of the file layer; the stream only carries it to the library.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "io/fd.h"

namespace kexio::io {

struct StreamCloser {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
// Owns a stream and closes it when destroyed.
using Stream = std::unique_ptr<std::FILE, StreamCloser>;

// A stream that takes over fd; null (errno set, fd closed) when none can be
// made.
Stream stream_from(Fd fd, const char* mode);
// A stream over a duplicate of fd, which stays open for its owner; null
// (errno set) when none can be made.
Stream stream_over(int fd, const char* mode);
// What f holds from its position to its end, read into out; false when the
// stream reports an error, holds limit bytes or more, or no memory can be
// had.
bool read_rest(std::FILE* f, std::vector<std::uint8_t>& out, std::uint64_t limit);
// Flushes and closes the stream: 0, or the errno of the failure.
int close_stream(Stream& s);

}  // namespace kexio::io
