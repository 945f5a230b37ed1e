#include "corekit2/md5.hpp"

#include <openssl/evp.h>
#include <unistd.h>

#include <string>

#include "posix_io.hpp"
#include "ulib_2_18/text.hpp"

namespace corekit2 {

namespace {

// OpenSSL 3 looks an implementation up in its provider tables on every init given the legacy
// EVP_md5(); fetched once, the lookup is paid once per process. Never freed: it lives as long as
// the library can be called.
const EVP_MD* md5Implementation() {
    static EVP_MD* const fetched = EVP_MD_fetch(nullptr, "MD5", nullptr);
    return fetched ? fetched : EVP_md5();
}

}  // namespace

struct md5_t::Impl {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = context != nullptr && EVP_DigestInit_ex(context, md5Implementation(), nullptr) == 1;
    ~Impl() { EVP_MD_CTX_free(context); }
};

md5_t::md5_t() : m_impl(std::make_unique<Impl>()) {}
md5_t::~md5_t() = default;

bool md5_t::update(const void* data, std::size_t size) {
    if (!m_impl->ok) return false;
    if (size != 0 && EVP_DigestUpdate(m_impl->context, data, size) != 1) m_impl->ok = false;
    return m_impl->ok;
}

bool md5_t::update_from_file(const path_t& path, std::size_t limit) {
    io::read_result_t why = io::read_result_t::ok;
    const int fd = io::open_regular(ulib_2_18::to_utf8(path.as_string()), why);
    if (fd < 0) return false;
    std::string head;
    const bool read = io::read_some(fd, limit, head);
    ::close(fd);
    return read && update(head.data(), head.size());
}

std::wstring md5_t::get_digest_base16() const {
    if (!m_impl->ok) return std::wstring();
    // Finish a copy so the running state can take more data.
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool done = copy && EVP_MD_CTX_copy_ex(copy, m_impl->context) == 1 &&
                      EVP_DigestFinal_ex(copy, digest, &length) == 1;
    EVP_MD_CTX_free(copy);
    if (!done) return std::wstring();
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring out;
    for (unsigned int i = 0; i < length; ++i) {
        out += kDigits[digest[i] >> 4];
        out += kDigits[digest[i] & 0x0F];
    }
    return out;
}

}  // namespace corekit2
