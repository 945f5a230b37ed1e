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

}  // namespace talvo2::test
