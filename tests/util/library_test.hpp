#pragma once

// What the library's tests share on top of test_util.hpp: the public API, GoogleTest, and the
// helpers nearly every suite wrote for itself.

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <string>
#include <vector>

#include "talvo2/talvo2.hpp"
#include "util/test_util.hpp"

namespace talvo2 {

// Every suite of the library lives in namespace talvo2 and says these two.
namespace fs = boost::filesystem;
using corekit2::sptr_t;

}  // namespace talvo2

namespace talvo2::test {

// The calling thread's last error.
inline error_t lastError() {
    return ResultDirectoryManager::getLastError();
}

// A result created at `path` as a collector would: no overwrite, no variables, patterns allowed.
inline sptr_t<IResultDirectory> createResult(const std::wstring& path) {
    return ResultDirectoryManager::create(path.c_str(), false, nullptr, false, nullptr);
}

// A caller's own node class built on one of the neutral bases. It counts references but never
// deletes itself, so a test can watch what the library does with the handles it is given.
template <class Base>
class Counted : public Base {
public:
    uint32_t add_ref() override { return ++refs; }
    uint32_t release() override { return --refs; }
    uint32_t refs = 0;
};

}  // namespace talvo2::test
