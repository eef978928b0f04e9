#include "core/parallel.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace kexio {

unsigned free_cores() {
  const unsigned cores = std::max(std::thread::hardware_concurrency(), 1u);
  // /proc/loadavg: "0.52 0.58 0.59 2/467 12345", the fourth field the
  // threads runnable at this moment (the caller among them) over all.
  const int fd = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return cores;
  char text[128];
  const ssize_t got = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (got <= 0) return cores;
  text[got] = '\0';
  const char* p = text;
  for (int field = 0; field < 3 && *p != '\0'; ++field) {
    while (*p != '\0' && *p != ' ')
      ++p;
    while (*p == ' ')
      ++p;
  }
  unsigned long running = 0;
  bool digits = false;
  for (; *p >= '0' && *p <= '9' && running < 1000000; ++p, digits = true)
    running = running * 10 + static_cast<unsigned long>(*p - '0');
  if (!digits || *p != '/') return cores;
  const unsigned long others = running > 0 ? running - 1 : 0;
  return others >= cores ? 1u : static_cast<unsigned>(cores - others);
}

}  // namespace kexio
