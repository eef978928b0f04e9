#include "host/loader.h"

#include <dlfcn.h>

#include <cctype>
#include <map>
#include <mutex>
#include <string>

namespace kexio {

namespace {

// "keximager.dll" -> "libkeximager.so".
std::string so_name(const char* dll_name) {
  std::string base = dll_name;
  if (base.size() > 4) {
    std::string ext = base.substr(base.size() - 4);
    for (char& c : ext)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".dll") base.resize(base.size() - 4);
  }
  return "lib" + base + ".so";
}

// The libraries loaded so far by file name, guarded by one lock: a call that
// loads a library holds it, so two threads never load one twice.
std::mutex g_loading;
std::map<std::string, void*> g_loaded;

}  // namespace

std::string module_dir() {
#ifdef KEXIO_LIBRARY_DIR
  // A program linked with the static copy of the library (tests, fuzz
  // targets): the run-time-loaded libraries are in the build's library folder.
  return KEXIO_LIBRARY_DIR;
#endif
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&module_dir), &info) == 0 || info.dli_fname == nullptr) {
    return ".";
  }
  std::string path = info.dli_fname;
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

void* load_host_library(const char* dll_name) {
  std::string file = so_name(dll_name);
  std::lock_guard<std::mutex> lock(g_loading);
  auto it = g_loaded.find(file);
  if (it != g_loaded.end()) return it->second;
  void* handle = dlopen((module_dir() + "/" + file).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle != nullptr) g_loaded.emplace(file, handle);
  return handle;
}

void* host_entry(void* library, const char* name) {
  return library != nullptr ? dlsym(library, name) : nullptr;
}

}  // namespace kexio
