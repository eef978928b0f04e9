// Run-time loading of host libraries.
//
// A host library named "name.dll" is the file libname.so, looked up first in
// the folder of libkexio.so itself, then on the loader's normal path. A
// loaded library stays loaded for the rest of the process; a failed load is
// not remembered, so a later call tries again. Every function here may be
// called from several threads at once.
#pragma once

#include <atomic>
#include <string>

namespace kexio {

// The handle of the library, or null when it cannot be loaded.
void* load_host_library(const char* dll_name);
// The entry point name of a loaded library, or null.
void* host_entry(void* library, const char* name);
// The folder that holds libkexio.so, with no trailing slash.
std::string module_dir();

// One entry point of a host library, looked up on first use and kept; a
// failed lookup leaves it empty so that the next call tries again. Threads
// that race on the first use each look it up and store the same address.
template <typename Fn>
class HostEntry {
 public:
  HostEntry(const char* dll, const char* name) : m_dll(dll), m_name(name) {}
  Fn get() {
    void* fn = m_fn.load(std::memory_order_acquire);
    if (fn == nullptr) {
      if (void* lib = load_host_library(m_dll)) {
        fn = host_entry(lib, m_name);
        m_fn.store(fn, std::memory_order_release);
      }
    }
    return reinterpret_cast<Fn>(fn);
  }

 private:
  const char* m_dll;
  const char* m_name;
  std::atomic<void*> m_fn{nullptr};
};

}  // namespace kexio
