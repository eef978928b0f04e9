// The file layer every family reads and writes through: the byte reader over
// memory, a mapped file and a pipe; the buffered writer's failures; and the
// replacement that keeps an old file whole until the new one is complete.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "io/byte_reader.h"
#include "io/byte_writer.h"
#include "io/replace.h"
#include "support/scratch.h"

namespace {

using kexio::io::ByteReader;
using kexio::io::ByteWriter;
using kexio::io::Fd;
using kexio::io::Replacement;
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

void write_text(Replacement& r, const std::string& text) {
  ASSERT_TRUE(kexio::io::write_full(r.fd(), text.data(), text.size()));
}

int entries(const ScratchDir& dir) {
  int n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path()))
    ++n;
  return n;
}

TEST(Replacement, OldFileStaysWholeUntilCommitAndKeepsItsModeAndLink) {
  ScratchDir dir;
  write_bytes(dir.path() / "t", "old contents");
  ::chmod((dir / "t").c_str(), 0640);
  std::filesystem::create_symlink("t", dir.path() / "link");
  {
    Replacement r;
    ASSERT_EQ(r.open(dir / "link", O_WRONLY), 0);
    EXPECT_FALSE(r.in_place());
    write_text(r, "new");
    EXPECT_EQ(read_bytes(dir.path() / "t"), "old contents");
    // Destroyed without commit: nothing changed, no temporary left.
  }
  EXPECT_EQ(read_bytes(dir.path() / "t"), "old contents");
  EXPECT_EQ(entries(dir), 2);

  Replacement r;
  ASSERT_EQ(r.open(dir / "link", O_WRONLY), 0);
  write_text(r, "new");
  ASSERT_EQ(r.commit(), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path() / "link"));
  EXPECT_EQ(read_bytes(dir.path() / "link"), "new");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "t").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(entries(dir), 2);
}

TEST(Replacement, NewFilesAreRemovedOnFailureAndOpenRefusalsKeepTheirErrno) {
  ScratchDir dir;
  {
    Replacement r;
    ASSERT_EQ(r.open(dir / "new", O_WRONLY), 0);
    write_text(r, "partial");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "new"));

  Replacement r;
  EXPECT_EQ(r.open(dir / "missing/x", O_WRONLY), ENOENT);
  EXPECT_EQ(r.open(dir.path().string(), O_WRONLY), EISDIR);
  // A device is written in place.
  ASSERT_EQ(r.open("/dev/null", O_WRONLY), 0);
  EXPECT_TRUE(r.in_place());
  EXPECT_EQ(r.commit(), 0);
}

TEST(Replacement, AFifoIsWrittenInPlace) {
  ScratchDir dir;
  std::string fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string got;
  std::thread reader([&] { got = read_bytes(fifo); });
  Replacement r;
  ASSERT_EQ(r.open(fifo, O_WRONLY), 0);
  EXPECT_TRUE(r.in_place());
  write_text(r, "through the pipe");
  EXPECT_EQ(r.commit(), 0);
  reader.join();
  EXPECT_EQ(got, "through the pipe");
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

}  // namespace
