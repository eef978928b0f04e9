// The library's public interface. libkexio.so is built with hidden
// visibility: only what carries KEXIO_API (the entry class Kex::IO) is
// exported from it. The records and services declared beside it belong to
// the host libraries, which export them themselves.
#pragma once

#define KEXIO_API __attribute__((visibility("default")))
