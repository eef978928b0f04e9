// A fresh temporary folder per test, file bytes, FIFOs fed by a thread, what
// a call raised, work in a child process, and Python scripts run on the
// folder.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "kexio/host/errors.h"

namespace kexio_test {

struct Raised {
  std::string message;
  std::uint32_t index = 0;
  bool operator==(const Raised&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Raised& r) {
  return os << "\"" << r.message << "\" at " << r.index;
}

// What a call raised, with the detail, if any and asked for, after the
// message: "MESSAGE | DETAIL".
inline Raised raised(const std::function<void()>& call, bool with_detail = false) {
  try {
    call();
  } catch (const Kex::Exception& e) {
    const bool detail = with_detail && !e.detail().empty();
    return {e.message() + (detail ? " | " + e.detail() : ""), e.index()};
  }
  return {"<nothing raised>", 0};
}
inline Raised raised_with_detail(const std::function<void()>& call) {
  return raised(call, true);
}

// Expects the call to raise the message at the argument index (1-based, or
// Kex::kWholeCall).
#define EXPECT_RAISES(call, msg, idx) \
  EXPECT_EQ(::kexio_test::raised([&] { (void)(call); }), (::kexio_test::Raised{msg, idx})) << #call

// A folder made with mkdtemp under $TMPDIR (or /tmp), removed with its
// contents at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != 0 ? base : "/tmp");
    pattern += "/kexio-test-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return m_path; }
  std::string operator/(const std::string& name) const { return (m_path / name).string(); }
  // The folder as a worksheet directory (its bytes as Latin-1 code units).
  std::u16string cwd() const {
    std::string s = m_path.string();
    return std::u16string(reinterpret_cast<const unsigned char*>(s.data()),
                          reinterpret_cast<const unsigned char*>(s.data() + s.size()));
  }

 private:
  std::filesystem::path m_path;
};

inline std::string read_bytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
}

// Sends bytes through a FIFO made at path (then, when endless, zeros until
// the reader goes) from a thread of its own, to be joined once the reader is
// done. The thread keeps SIGPIPE to itself: a reader that leaves ends it.
inline std::thread feed_fifo(const std::string& path, std::string bytes, bool endless = false) {
  ::unlink(path.c_str());
  if (::mkfifo(path.c_str(), 0600) != 0) return std::thread();
  return std::thread([path, bytes = std::move(bytes), endless] {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    static const char zeros[65536] = {};
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    for (std::size_t at = 0; fd >= 0 && (at < bytes.size() || endless);) {
      const bool tail = at >= bytes.size();
      ssize_t n =
          ::write(fd, tail ? zeros : bytes.data() + at, tail ? sizeof zeros : bytes.size() - at);
      if (n <= 0) break;
      at += tail ? 0 : static_cast<std::size_t>(n);
    }
    if (fd >= 0) ::close(fd);
  });
}

// v in n bytes, least significant first, or most significant first.
inline std::string le(std::uint64_t v, int n) {
  std::string b;
  for (int i = 0; i < n; ++i)
    b += static_cast<char>(v >> (8 * i));
  return b;
}
inline std::string be(std::uint64_t v, int n) {
  std::string b = le(v, n);
  return {b.rbegin(), b.rend()};
}

// The names in a folder, sorted.
inline std::vector<std::string> entries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A file of native doubles (as numpy's tofile writes float64).
inline std::vector<double> read_doubles(const std::filesystem::path& p) {
  std::string b = read_bytes(p);
  std::vector<double> v(b.size() / sizeof(double));
  std::memcpy(v.data(), b.data(), v.size() * sizeof(double));
  return v;
}

// Runs body in a forked child (for limits and mounts that must not touch the
// test process): what it returned there ("" when all was well), followed by
// how the child ended when it did not return normally.
inline std::string child_failure(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe to a child";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::string said = body();
    for (std::size_t done = 0; done < said.size();) {
      ssize_t n = ::write(fds[1], said.data() + done, said.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string said;
  char buf[512];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
    said.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return said + "(no child)";
  if (WIFSIGNALED(status))
    return said + "(child killed by signal " + std::to_string(WTERMSIG(status)) + ")";
  if (WEXITSTATUS(status) != 0)
    return said + "(child exited with " + std::to_string(WEXITSTATUS(status)) + ")";
  return said;
}

// Limits the process's address space to what it has now and extra bytes
// more (for a child: in_child, child_failure).
inline void limit_address_space(rlim_t extra) {
  std::size_t pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t bytes = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + extra;
  const rlimit limit{bytes, bytes};
  ::setrlimit(RLIMIT_AS, &limit);
}

// The same for a body that only says whether all was well.
inline bool in_child(const std::function<bool()>& body) {
  return child_failure([&] { return body() ? std::string() : std::string("failed"); }).empty();
}

// Runs body in a forked child that holds no privileges, so that file
// permissions apply to it: when the tests run as root (as CI does), the
// child hands the folder to the user nobody and becomes that user. True when
// body returned true there.
inline bool as_unprivileged(const ScratchDir& dir, const std::function<bool()>& body) {
  return in_child([&] {
    if (::geteuid() == 0) {
      const passwd* nobody = ::getpwnam("nobody");
      uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
      gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
      std::error_code ec;
      for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path(), ec))
        (void)::lchown(e.path().c_str(), uid, gid);
      if (::chown(dir.path().c_str(), uid, gid) != 0 || ::setgroups(0, nullptr) != 0 ||
          ::setgid(gid) != 0 || ::setuid(uid) != 0) {
        std::fprintf(stderr, "cannot become the user nobody\n");
        return false;
      }
    }
    if (::access(dir.path().c_str(), W_OK | X_OK) != 0) {
      std::fprintf(stderr, "%s cannot be used without privileges\n", dir.path().c_str());
      return false;
    }
    return body();
  });
}

// Whether /usr/bin/python3 can import the modules ("numpy, scipy.io").
inline bool have_python(const std::string& modules) {
  return ::access("/usr/bin/python3", X_OK) == 0 &&
         std::system(("/usr/bin/python3 -c 'import " + modules + "' >/dev/null 2>&1").c_str()) == 0;
}

// Runs the script with /usr/bin/python3 and the folder as its argument: ""
// when it exits with 0, else what it printed and its status.
inline std::string python_failure(const ScratchDir& dir, const std::string& script) {
  write_bytes(dir.path() / "script.py", script);
  std::string cmd = "/usr/bin/python3 " + dir / "script.py" + " " + dir.path().string() + " 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return "cannot run python3";
  std::string out;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p) != nullptr)
    out += buf;
  int status = ::pclose(p);
  return status == 0 ? "" : out + "(status " + std::to_string(status) + ")";
}

}  // namespace kexio_test
