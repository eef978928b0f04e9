// A program built against an installed kexio: calls the entry class and
// checks that errors arrive with their message and argument index.
#include <kexio/io.h>

#include <cstdio>
#include <memory>

int main() {
  auto number = std::make_shared<Cvd::NumVal>(1.0);
  try {
    Kex::IO::READ_BLUE(u"", number);
  } catch (const Kex::Exception& e) {
    if (e.message() != "must be string" || e.index() != 1) {
      std::fprintf(stderr, "unexpected error: %s at %u\n", e.what(), e.index());
      return 1;
    }
    std::printf("ok: %s at %u\n", e.what(), e.index());
    return 0;
  }
  std::fprintf(stderr, "no error raised\n");
  return 1;
}
