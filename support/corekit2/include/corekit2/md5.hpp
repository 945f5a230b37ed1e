#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "corekit2/export.hpp"
#include "corekit2/path.hpp"

namespace corekit2 {

// Incremental MD5 digest. Not synchronised: one digest per thread.
class COREKIT2_API md5_t {
public:
    md5_t();
    ~md5_t();
    md5_t(const md5_t&) = delete;
    md5_t& operator=(const md5_t&) = delete;

    // Adds bytes to the digest. False when the digest engine failed.
    bool update(const void* data, std::size_t size);
    // Adds at most the first `limit` bytes of the file at `path` (fewer when the file is shorter).
    // False when the file cannot be read; what was added before stays added.
    bool update_from_file(const path_t& path, std::size_t limit);
    // The digest of everything added so far, as 32 lower-case hexadecimal digits; empty when the
    // engine failed. Further updates continue from the same state.
    std::wstring get_digest_base16() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace corekit2
