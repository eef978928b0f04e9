// Writing a file so that a failure never damages what was there.
//
// An existing regular file is written to a temporary file in its own folder
// (after following symbolic links, so that a link keeps pointing at the new
// file), which commit() renames over it with the old file's permissions and,
// where allowed, its owner. A file that did not exist is created and written
// directly; a failure removes it again. A device or FIFO, and a regular file
// in a folder that does not let us make a temporary file, are written in
// place.
// Until commit() succeeds, destroying the object removes what it made and
// leaves an old regular file exactly as it was.
//
// Left alone: a replaced file is a new file, so hard links to the old one
// keep the old contents, and extended attributes and ACLs are not carried.
#pragma once

#include <string>

#include "io/fd.h"

namespace kexio::io {

class Replacement {
 public:
  Replacement() = default;
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement() { abandon(); }

  // Opens path for writing with access (O_WRONLY or O_RDWR). Returns 0, or
  // the errno that opening path with O_CREAT | O_TRUNC would have given, so
  // that callers keep their messages; nothing is changed then.
  int open(const std::string& path, int access);
  // Where to write.
  int fd() const { return m_fd.get(); }
  // True when the writes go to the file itself rather than to a new file.
  bool in_place() const { return m_temp.empty() && !m_created; }

  // Completes the file: closes it (a failed close is a failed write) and
  // moves it into place. Returns 0, or the errno of the failure, after which
  // the old file is kept as if nothing had been written.
  int commit();
  // Gives up: removes the temporary or newly created file.
  void abandon();

  // The failure err (from open, commit or a write to fd()) for people: the
  // reason and the file it concerns (the target with links followed, once
  // known), as io::failure_detail says it.
  std::string detail(int err) const;

 private:
  Fd m_fd;
  std::string m_temp;    // the temporary file, when one is used
  std::string m_target;  // the file it replaces (symbolic links followed)
  std::string m_shown;   // the file named in details; kept after abandon()
  bool m_created = false;
};

}  // namespace kexio::io
