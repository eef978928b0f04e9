// The file layer every family reads and writes through: the byte reader over
// memory, a mapped file and a pipe, and the buffered writer's failures. Then
// every function that writes a file, through the entry class: a write cut
// short by a file-size limit or a full file system leaves the old file byte
// for byte, nothing else in its folder, and raises the documented message; a
// complete write keeps the file's permissions, owner and symbolic link; a
// FIFO is written in place with the bytes a regular file would get (but for
// TIFF, which is refused), and a full device gets the message of a full disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include "image/image_support.h"
#include "io/byte_reader.h"
#include "io/byte_writer.h"
#include "kexio/io.h"
#include "support/scratch.h"
#include "support/values.h"

namespace {

namespace fs = std::filesystem;
using namespace kexio::io;
using namespace kexio_test;
using IO = Kex::IO;
constexpr std::uint32_t kAll = Kex::kWholeCall;

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
  ByteReader file(open_read(dir / "f"));
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
  ScratchDir dir;
  std::thread writer = feed_fifo(dir / "fifo", big);
  ByteReader in(open_read(dir / "fifo"));
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
  Fd full = open_with("/dev/full", O_WRONLY);
  ASSERT_TRUE(full);
  ByteWriter out(full.get(), 16);
  out.write("0123456789abcdef", 16);
  out.put('!');  // more than the buffer holds: a real write
  EXPECT_TRUE(out.failed());
  EXPECT_EQ(out.error(), ENOSPC);
  EXPECT_FALSE(out.flush());

  ScratchDir dir;
  Fd fd = open_with(dir / "w", O_WRONLY | O_CREAT);
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

// A table APPENDPRN can extend; the other writers do not look at it.
const std::string kOld = "1 2\n3 4\n";

struct Writer {
  const char* function;
  const char* extension;
  void (*write)(const std::string& path);  // a matrix of a few hundred KB or more to path
  // What a write that fails raises: the message ({path}: the path written,
  // {reason}: the system's text for the failure) and the argument.
  const char* failure;
  std::uint32_t index;
  bool reads_first = false;  // reads the old file before writing it again
  bool seeks = false;        // writes a format that needs a file it can seek (TIFF)
};

// Levels that no compression makes much smaller.
Cvd::Ref noise(std::uint32_t rows, std::uint32_t cols) {
  return image_test::random_matrix(rows, cols, 5);
}

using P = const std::string&;
// A picture of rows x cols such levels written to p by f.
template <Cvd::Ref (*f)(const std::u16string&, const Cvd::Ref&, const Cvd::Ref&),
          std::uint32_t rows, std::uint32_t cols>
void picture(P p) {
  f(u"", str(p), noise(rows, cols));
}
constexpr const char* kImager = "file write error: {reason}";

const Writer kWriters[] = {
    {"WRITEPRN", ".txt", [](P p) { IO::WRITEPRN(u"", 4, 8, str(p), Cvd::MatVal::Zeros(8000, 2)); },
     "file write error", kAll},
    {"APPENDPRN", ".txt",
     [](P p) { IO::APPENDPRN(u"", 4, 8, str(p), Cvd::MatVal::Zeros(8000, 2)); },
     "file append error", kAll, true},
    {"WRITEBMP", ".bmp", picture<&IO::WRITEBMP, 400, 400>, "file i/o error", kAll},
    // Large enough that two threads make its rows, the file written as they
    // come.
    {"WRITERGB", ".bmp", picture<&IO::WRITERGB, 1500, 1800>, "file i/o error", kAll},
    {"WRITEWAV", ".wav",
     [](P p) { IO::WRITEWAV(u"", str(p), num(8000), num(16), Cvd::MatVal::Zeros(50000, 2)); },
     "file write error", kAll},
    {"WRITEBIN", ".bin",
     [](P p) { IO::WRITEBIN(u"", str(p), str("double"), num(0), Cvd::MatVal::Zeros(8000, 2)); },
     "file write error: {reason}", 0},
    {"SaveColormap", ".cmp", [](P p) { IO::SaveColormap(str(p), Cvd::MatVal::Zeros(40000, 3)); },
     "cannot write '{path}': {reason}", 1},
    // The formats of the image library.
    {"WRITEBMP", ".pgm", picture<&IO::WRITEBMP, 300, 300>, kImager, kAll},
    {"WRITEBMP", ".pbm", picture<&IO::WRITEBMP, 1000, 1000>, kImager, kAll},
    {"WRITEBMP", ".tif", picture<&IO::WRITEBMP, 300, 300>, kImager, kAll, false, true},
    {"WRITERGB", ".png", picture<&IO::WRITERGB, 200, 600>, kImager, kAll},
    {"WRITERGB", ".ppm", picture<&IO::WRITERGB, 200, 600>, kImager, kAll},
    {"WRITERGB", ".tif", picture<&IO::WRITERGB, 200, 600>, kImager, kAll, false, true},
    {"WRITERAW", ".raw",
     [](P p) { IO::READRAW(u"", noise(200, 600), str(p), num(3), str("int16")); }, kImager, kAll},
};

Raised failure(const Writer& w, const std::string& path, int e) {
  std::string m = w.failure;
  for (auto [key, value] :
       {std::pair<std::string, std::string>{"{path}", path}, {"{reason}", std::strerror(e)}}) {
    if (std::size_t at = m.find(key); at != std::string::npos) m.replace(at, key.size(), value);
  }
  return {m, w.index};
}

// Has w write over an old file of dir and make a new one, both stopped by
// errno e; says what is wrong afterwards ("" when each call raised its
// message, the old file is as it was and nothing else is left).
std::string cut_short(const Writer& w, const fs::path& dir, int e) {
  const std::string ext = w.extension, old = dir / ("old" + ext);
  write_bytes(old, kOld);
  std::string wrong;
  for (const std::string& path : {old, (dir / ("new" + ext)).string()}) {
    Raised r = raised([&] { w.write(path); });
    if (!(r == failure(w, path, e))) wrong += "raised \"" + r.message + "\"; ";
  }
  if (read_bytes(old) != kOld) wrong += "the old file changed; ";
  if (entries(dir) != std::vector<std::string>{"old" + ext}) wrong += "other files are left; ";
  fs::remove(old);
  return wrong.empty() ? "" : std::string(w.function) + ": " + wrong;
}

// Mounts a file system of 64 KiB on dir in a mount namespace of its own,
// which this (child) process alone sees; an unprivileged user becomes root of
// a user namespace for that. A reason when it cannot be done here.
std::string mount_small_filesystem(const fs::path& dir) {
  uid_t uid = ::geteuid();
  gid_t gid = ::getegid();
  if (uid != 0) {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return "no user namespace";
    write_bytes("/proc/self/setgroups", "deny");
    write_bytes("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_bytes("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  } else if (::unshare(CLONE_NEWNS) != 0) {
    return "no mount namespace";
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("kexio-test", dir.c_str(), "tmpfs", 0, "size=64k") != 0) {
    return std::string("cannot mount a small file system: ") + std::strerror(errno);
  }
  return "";
}

// A file-size limit of 16 KiB, with SIGXFSZ ignored so that the write fails
// with EFBIG instead.
std::string limit_file_size(const fs::path&) {
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{16384, 16384};
  return ::setrlimit(RLIMIT_FSIZE, &limit) == 0 ? "" : "no file-size limit";
}

// Each in a child: writes stopped by a file-size limit, or a full file system.
TEST(EveryWriter, KeepsTheOldFileWhenWritingIsCutShort) {
  ScratchDir dir;
  const struct {
    std::string (*stop)(const fs::path& dir);  // a reason when it cannot be had
    int e;
  } stops[] = {{limit_file_size, EFBIG}, {mount_small_filesystem, ENOSPC}};
  for (const auto& s : stops) {
    std::string said = child_failure([&] {
      if (std::string why = s.stop(dir.path()); !why.empty()) return "skip: " + why;
      std::string wrong;
      for (const Writer& w : kWriters)
        wrong += cut_short(w, dir.path(), s.e);
      return wrong;
    });
    if (said.rfind("skip: ", 0) == 0) GTEST_SKIP() << said;
    EXPECT_EQ(said, "") << std::strerror(s.e);
  }
}

TEST(EveryWriter, KeepsModeOwnerAndLinkAndWritesDevicesInPlace) {
  ScratchDir dir;
  fs::create_directory(dir.path() / "data");
  const bool root = ::geteuid() == 0;
  for (const Writer& w : kWriters) {
    SCOPED_TRACE(w.function);
    const std::string ext = w.extension;
    // What a plain file gets: the bytes to expect everywhere else.
    write_bytes(dir / ("plain" + ext), kOld);
    w.write(dir / ("plain" + ext));
    const std::string want = read_bytes(dir / ("plain" + ext));
    ASSERT_NE(want, kOld);

    // Through a relative link into another folder, over a file of mode 0640
    // (and, as root, another owner).
    const std::string target = dir / ("data/target" + ext), link = dir / ("link" + ext);
    write_bytes(target, kOld);
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    if (root) {
      ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
    }
    fs::create_symlink("data/target" + ext, link);
    w.write(link);
    EXPECT_EQ(fs::read_symlink(link), "data/target" + ext);
    EXPECT_TRUE(read_bytes(target) == want) << "the link's target holds other bytes";
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(!root || (st.st_uid == 65534u && st.st_gid == 65534u));

    // A FIFO: a reader takes what is written (after handing APPENDPRN the
    // old table to read first); a TIFF writer, which must seek, refuses it.
    const std::string fifo = dir / ("fifo" + ext);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string got;
    std::atomic<bool> finished = false;
    std::thread other_end([&] {
      if (w.reads_first) write_bytes(fifo, kOld);
      got = read_bytes(fifo);
      finished = true;
    });
    EXPECT_EQ(
        raised([&] { w.write(fifo); }).message,
        w.seeks ? "file write error: " + std::string(std::strerror(ESPIPE)) : "<nothing raised>");
    // Should the call have failed, an end opened and closed for a moment
    // ends whatever open the other end still waits in.
    while (!finished) {
      for (int flags : {O_WRONLY, O_RDONLY}) {
        int fd = ::open(fifo.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    other_end.join();
    EXPECT_TRUE(w.seeks || got == want) << "the FIFO got " << got.size() << " other bytes";
    EXPECT_TRUE(fs::is_fifo(fifo));
    // A device that refuses every byte, through a link that gives the name
    // an extension (APPENDPRN would first read its endless zeros).
    const std::string full = dir / ("full" + ext);
    if (!w.reads_first && ::symlink("/dev/full", full.c_str()) == 0) {
      EXPECT_EQ(raised([&] { w.write(full); }), failure(w, full, ENOSPC));
    }
    for (const std::string& p : {target, link, fifo, full, dir / ("plain" + ext)})
      fs::remove(p);
  }
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"data"});
}

}  // namespace
