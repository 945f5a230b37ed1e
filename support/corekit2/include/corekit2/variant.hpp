#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "corekit2/export.hpp"

namespace corekit2 {

// The kinds of value a variant_t holds. The numbers appear in nothing persistent.
enum variant_type_t : uint32_t {
    VT_EMPTY = 0,
    VT_INT32,
    VT_UINT32,
    VT_INT64,
    VT_UINT64,
    VT_DOUBLE,
    VT_BOOL,
    VT_WSTRING,
};

// One typed value. Typed reads of another type yield the caller's default instead of converting,
// so a value stored as int64 is never silently read as int32. A value type; not synchronised.
class COREKIT2_API variant_t {
public:
    variant_t() noexcept = default;
    variant_t(int32_t value) : m_value(value) {}
    variant_t(uint32_t value) : m_value(value) {}
    variant_t(int64_t value) : m_value(value) {}
    variant_t(uint64_t value) : m_value(value) {}
    variant_t(long long value) : m_value(static_cast<int64_t>(value)) {}
    variant_t(unsigned long long value) : m_value(static_cast<uint64_t>(value)) {}
    variant_t(double value) : m_value(value) {}
    variant_t(bool value) : m_value(value) {}
    // A null pointer gives an empty value.
    variant_t(const wchar_t* value);
    // A string given with its length in bytes, the terminator included; the copy stops at the
    // first NUL within that length.
    variant_t(const wchar_t* value, std::size_t bytesWithTerminator);
    variant_t(std::wstring value) : m_value(std::move(value)) {}
    // Narrow text has no defined encoding here; refuse it rather than store a bool.
    variant_t(const char*) = delete;

    variant_type_t type() const noexcept { return static_cast<variant_type_t>(m_value.index()); }
    bool empty() const noexcept { return type() == VT_EMPTY; }

    int32_t get_int32(int32_t fallback = 0) const noexcept { return read(fallback); }
    uint32_t get_uint32(uint32_t fallback = 0) const noexcept { return read(fallback); }
    int64_t get_int64(int64_t fallback = 0) const noexcept { return read(fallback); }
    uint64_t get_uint64(uint64_t fallback = 0) const noexcept { return read(fallback); }
    double get_double(double fallback = 0.0) const noexcept { return read(fallback); }
    bool get_bool(bool fallback = false) const noexcept { return read(fallback); }
    std::wstring get_wstring(const std::wstring& fallback = std::wstring()) const;
    // Pointer into the stored string, valid while the value is unchanged; `fallback` otherwise.
    const wchar_t* get_wstr(const wchar_t* fallback = nullptr) const& noexcept;
    // A temporary's string dies with it: take a copy with get_wstring instead.
    const wchar_t* get_wstr(const wchar_t* fallback = nullptr) const&& = delete;

    bool operator==(const variant_t& other) const { return m_value == other.m_value; }
    bool operator!=(const variant_t& other) const { return !(*this == other); }

private:
    template <class T>
    T read(T fallback) const noexcept {
        const T* value = std::get_if<T>(&m_value);
        return value ? *value : fallback;
    }

    std::variant<std::monostate, int32_t, uint32_t, int64_t, uint64_t, double, bool, std::wstring>
        m_value;
};

}  // namespace corekit2
