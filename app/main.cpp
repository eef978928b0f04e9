// Placeholder of the worksheet host until its evaluator lands.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("kexio 0.1.0");
    return 0;
  }
  std::fputs("kexio: the worksheet host is not built yet\n", stderr);
  return 2;
}
