// Run-time loading of host libraries beside libkexio.so (a library that is
// found there shows that module_dir() is its folder).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "host/loader.h"

namespace {

namespace fs = std::filesystem;

TEST(Loader, AbsentThenPresentThenCachedWithoutReloading) {
  const char* probe = std::getenv("KEXIO_PROBE_LIBRARY");
  ASSERT_NE(probe, nullptr);
  std::string name = "kexioprobe" + std::to_string(getpid());
  fs::path target = fs::path(kexio::module_dir()) / ("lib" + name + ".so");
  std::string dll = name + ".DLL";

  EXPECT_EQ(kexio::load_host_library(dll.c_str()), nullptr);

  fs::copy_file(probe, target, fs::copy_options::overwrite_existing);
  void* lib = kexio::load_host_library(dll.c_str());
  fs::remove(target);
  ASSERT_NE(lib, nullptr) << "a failed load is retried";
  auto answer = reinterpret_cast<int (*)()>(kexio::host_entry(lib, "kexio_probe_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(kexio::host_entry(lib, "no_such_entry"), nullptr);

  // The file is gone: only the cache can answer now.
  EXPECT_EQ(kexio::load_host_library(dll.c_str()), lib);

  using Fn = int (*)();
  kexio::HostEntry<Fn> entry(dll.c_str(), "kexio_probe_answer");
  ASSERT_NE(entry.get(), nullptr);
  EXPECT_EQ(entry.get()(), 42);
}

}  // namespace
