// The file layer every family reads and writes through: the byte reader over
// memory, a mapped file and a pipe, and the buffered writer's failures. The
// replacement of files is tested through every writer (test_writers.cpp).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "io/byte_reader.h"
#include "io/byte_writer.h"
#include "support/scratch.h"

namespace {

using kexio::io::ByteReader;
using kexio::io::ByteWriter;
using kexio::io::Fd;
using kexio_test::read_bytes;
using kexio_test::ScratchDir;
using kexio_test::write_bytes;

const std::string kBytes = std::string("\x01\x02\x03\x04\x05\x06\x07\x08xyz", 11);

// The same reads give the same values whatever the reader is over.
void check_fields(ByteReader& in) {
  EXPECT_EQ(in.le16(), 0x0201);
  EXPECT_EQ(in.be16(), 0x0304);
  EXPECT_EQ(in.le32(), 0x08070605u);
  EXPECT_EQ(in.tell(), 8);
  EXPECT_EQ(in.peek(), 'x');
  const std::uint8_t* p = in.take(2);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), 2), "xy");
  EXPECT_FALSE(in.failed());
  EXPECT_EQ(in.be32(), 0u);  // cut short
  EXPECT_TRUE(in.failed());
  EXPECT_FALSE(in.io_error());
  in.clear_failure();
  EXPECT_TRUE(in.seek(1));
  EXPECT_EQ(in.get(), 2);
}

TEST(ByteReader, MemoryMappedFileAndPipeReadAlike) {
  ByteReader memory(kBytes.data(), kBytes.size());
  check_fields(memory);
  EXPECT_EQ(memory.size(), 11);

  ScratchDir dir;
  write_bytes(dir.path() / "f", kBytes);
  ByteReader file(kexio::io::open_read(dir / "f"));
  ASSERT_NE(file.contents(), nullptr);  // mapped
  check_fields(file);

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::thread writer([&] {
    for (char c : kBytes)
      ASSERT_EQ(::write(fds[1], &c, 1), 1);  // one byte at a time
    ::close(fds[1]);
  });
  ByteReader pipe{Fd(fds[0])};
  EXPECT_EQ(pipe.size(), -1);
  check_fields(pipe);
  writer.join();
}

TEST(ByteReader, StreamsSkipReadLargeRunsAndRefuseToGoBackFarther) {
  // More than one block, so that skips, large reads and seeks cross refills.
  std::string big(300000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<char>(i * 7);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::thread writer([&] {
    ASSERT_TRUE(kexio::io::write_full(fds[1], big.data(), big.size()));
    ::close(fds[1]);
  });
  ByteReader in{Fd(fds[0])};
  EXPECT_TRUE(in.skip(70000));
  EXPECT_EQ(in.get(), static_cast<std::uint8_t>(big[70000]));
  std::string run(150000, '\0');
  EXPECT_EQ(in.read(run.data(), run.size()), run.size());
  EXPECT_EQ(run, big.substr(70001, 150000));
  EXPECT_FALSE(in.seek(10));  // long gone from a pipe
  EXPECT_TRUE(in.seek(250000));
  EXPECT_EQ(in.get(), static_cast<std::uint8_t>(big[250000]));
  EXPECT_EQ(in.window(100000).size(), big.size() - 250001);
  EXPECT_FALSE(in.skip(100000));
  writer.join();
}

TEST(ByteWriter, ReportsTheFirstFailureAndKeepsPositions) {
  Fd full = kexio::io::open_with("/dev/full", O_WRONLY);
  ASSERT_TRUE(full);
  ByteWriter out(full.get(), 16);
  out.write("0123456789abcdef", 16);
  out.put('!');  // more than the buffer holds: a real write
  EXPECT_TRUE(out.failed());
  EXPECT_EQ(out.error(), ENOSPC);
  EXPECT_FALSE(out.flush());

  ScratchDir dir;
  Fd fd = kexio::io::open_with(dir / "w", O_WRONLY | O_CREAT);
  ByteWriter w(fd.get(), 4);
  w.le32(0x64636261);
  w.be16(0x6566);
  w.zeros(3);
  EXPECT_EQ(w.tell(), 9);
  EXPECT_TRUE(w.seek(1));
  w.put('B');
  EXPECT_TRUE(w.flush());
  EXPECT_EQ(read_bytes(dir.path() / "w"), std::string("aBcdef\0\0\0", 9));
}

}  // namespace
