#pragma once

// Helpers the fuzz targets share.

#include <cstddef>
#include <cstdint>
#include <string>

#include "corekit2/variant_bag.hpp"

namespace talvo2::fuzz {

// A new empty directory below $TMPDIR (or /tmp), removed when the process exits normally.
std::string makeScratchDirectory();

// Replaces the file at `path` (UTF-8) with `size` bytes from `data`; aborts when it cannot.
void writeFile(const std::string& path, const void* data, std::size_t size);

// The bytes of the file at `path`, or "" when there is none.
std::string readFile(const std::string& path);

// Bag equality in which a NaN double equals a NaN double: a bag holding NaN is not equal to
// itself under operator==, yet saving and loading it back keeps it exactly.
bool sameBag(const corekit2::variant_bag_t& a, const corekit2::variant_bag_t& b);

// Reports a broken invariant and aborts, which libFuzzer records as a crash with its input.
[[noreturn]] void fail(const char* what);

// Aborts with `what` unless `condition` holds.
inline void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

}  // namespace talvo2::fuzz
