// What the typed-array functions (kexio/arrays.h) share: fresh arrays and
// the checks of an array handed in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kexio/arrays.h"

namespace kexio::arrays {

// The number of samples of a shape; ArrayError (kValue) for a negative
// extent, and "out of memory" when the bytes of samples of size could not
// be held.
std::size_t samples(const std::vector<std::int64_t>& shape, std::size_t size);

// What a fresh array holds: zeros, or whatever its memory held, for a
// caller that writes every sample (or throws) before the array is seen,
// and so spares zeroing memory malloc hands out again.
enum class Start { zeros, unwritten };

// A fresh array of the shape: huge pages for a large one. Throws "out of
// memory" at argument index when no memory can be had or the array is larger
// than the machine's memory.
Kex::Array make(Kex::Dtype type, std::vector<std::int64_t> shape, Start start = Start::zeros,
                std::uint32_t index = Kex::kWholeCall);

// "(480, 640, 3) int16", as messages name an array.
std::string describe(const Kex::ArrayView& a);

[[noreturn]] void refuse_type(const std::string& message);
[[noreturn]] void refuse_value(const std::string& message);

}  // namespace kexio::arrays
