#pragma once

#include <string>

#include "talvo2/export.hpp"

namespace talvo2 {

// A result directory: the data of one collection run.
class TALVO2_API IResultDirectory {
public:
    // The first collector data directory name ("data.0", "data.1", ...) that nothing occupies in
    // `directory`: the name alone, not a path. Only looks; creates nothing. Empty when the
    // file system cannot be asked. Thread-safe; the result is the caller's.
    static std::wstring generateCollectorDataDirName(const std::wstring& directory);

protected:
    IResultDirectory() = default;
};

}  // namespace talvo2
