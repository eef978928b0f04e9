#include "io/replace.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace kexio::io {

namespace {

// The file a path leads to, symbolic links followed; empty when that cannot
// be found out.
std::string real_path(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : std::string();
}

// A new hidden file beside target, named after it; an empty Fd when none can
// be made there.
Fd temporary_beside(const std::string& target, std::string& name) {
  std::size_t slash = target.rfind('/');
  std::string folder = target.substr(0, slash + 1);
  // Short enough for any file system's limit on a name.
  name = folder + "." + target.substr(slash + 1, 200) + ".XXXXXX";
  return Fd(::mkostemp(name.data(), O_CLOEXEC));
}

// Puts the file temp in the place of target, which exists. They are
// exchanged and the old file, now under the temporary name, is removed:
// renamed over an existing file, ext4 first starts writing the new file's
// data out to the disk (its guard for a crash just after a replacement
// without fsync), which costs a large picture more than writing it did. An
// exchange keeps the same all-or-nothing view of the name. Where the file
// system cannot exchange, a plain rename. Returns 0 or the errno.
int move_into_place(const std::string& temp, const std::string& target) {
#ifdef RENAME_EXCHANGE
  const auto exchange = [&] {
    return ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0;
  };
  if (exchange()) {
    if (::unlink(temp.c_str()) == 0) return 0;
    // No longer a file there (a folder put in its place meanwhile): it goes
    // back, and the rename below fails as it would have.
    exchange();
  }
#endif
  return ::rename(temp.c_str(), target.c_str()) == 0 ? 0 : errno;
}

}  // namespace

int Replacement::open(const std::string& path, int access) {
  abandon();
  m_shown = path;
  // First the file itself, without truncating it: the same refusals as a
  // plain open (a folder, no permission, a missing folder), and a new file
  // when there was none.
  m_fd = open_with(path, access | O_CREAT | O_EXCL);
  if (m_fd) {
    m_created = true;
  } else if (errno == EEXIST) {
    m_fd = open_with(path, access);
    if (!m_fd && errno == ENOENT) {
      // A symbolic link to a file that does not exist yet.
      m_fd = open_with(path, access | O_CREAT);
      m_created = static_cast<bool>(m_fd);
    }
  }
  if (!m_fd) return errno;
  m_target = real_path(path);
  if (m_target.empty() && m_created) m_target = path;
  if (!m_target.empty()) m_shown = m_target;

  struct stat st {};
  if (::fstat(m_fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;  // written in place
  if (m_created) return 0;

  std::string temp;
  Fd fd = m_target.empty() ? Fd() : temporary_beside(m_target, temp);
  if (!fd) {
    // A folder that refuses new files: the file is written in place. Any
    // other reason (no descriptor or inode left, a full disk) would as
    // likely stop the writing too, so the old file is left alone.
    int e = m_target.empty() ? EACCES : errno;
    if (e != EACCES && e != EPERM) {
      m_fd.close();
      return e;
    }
    if (::ftruncate(m_fd.get(), 0) != 0) return errno;
    return 0;
  }
  // The new file keeps the permissions and, where the system lets us give
  // it away, the owner of the old one.
  if (::fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
    // Only the superuser may give a file away.
  }
  if (::fchmod(fd.get(), st.st_mode & 07777) != 0) {
    int e = errno;
    fd.close();
    ::unlink(temp.c_str());
    return e;
  }
  m_fd = std::move(fd);
  m_temp = std::move(temp);
  return 0;
}

int Replacement::commit() {
  int e = m_fd.close();
  if (e == 0 && !m_temp.empty()) e = move_into_place(m_temp, m_target);
  if (e != 0) {
    abandon();
    return e;
  }
  m_temp.clear();
  m_created = false;
  return 0;
}

void Replacement::abandon() {
  m_fd.close();
  if (!m_temp.empty()) ::unlink(m_temp.c_str());
  if (m_created && !m_target.empty()) ::unlink(m_target.c_str());
  m_temp.clear();
  m_target.clear();
  m_created = false;
}

std::string Replacement::detail(int err) const {
  return failure_detail(err, m_shown);
}

}  // namespace kexio::io
