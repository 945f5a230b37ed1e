#pragma once

#include <memory>
#include <string>
#include <vector>

#include "corekit2/export.hpp"
#include "corekit2/variant.hpp"

namespace corekit2 {

// A tree of named values and named sub-bags. Values and sub-bags have separate key spaces, so one
// key may name both a value and a sub-bag. Keys are arbitrary wide strings. Copies are deep.
// A value type: not synchronised, use one bag from one thread at a time.
//
// The member templates take T = variant_t or T = variant_bag_t.
class COREKIT2_API variant_bag_t {
public:
    variant_bag_t();
    variant_bag_t(const variant_bag_t& other);
    // Leaves `other` empty and usable, which takes an allocation: may throw std::bad_alloc.
    variant_bag_t(variant_bag_t&& other);
    variant_bag_t& operator=(const variant_bag_t& other);
    variant_bag_t& operator=(variant_bag_t&& other) noexcept;
    ~variant_bag_t();

    // The entry under `key`, or null when there is none. The pointer stays valid until the entry
    // is removed or replaced or the bag is destroyed or assigned.
    template <class T>
    T* get(const std::wstring& key) {
        return find(key, kind<T>{});
    }
    template <class T>
    const T* get(const std::wstring& key) const {
        return find(key, kind<T>{});
    }

    // Stores a copy of `value` under `key`, replacing any entry of the same kind; returns the
    // stored entry.
    template <class T>
    T* put(const std::wstring& key, const T& value) {
        return store(key, value);
    }

    template <class T>
    bool has(const std::wstring& key) const {
        return find(key, kind<T>{}) != nullptr;
    }

    // Removes the entry; false when there was none.
    template <class T>
    bool remove(const std::wstring& key) {
        return erase(key, kind<T>{});
    }

    // The keys of one kind of entry, in ascending code-unit order.
    template <class T>
    std::vector<std::wstring> keys() const {
        return list(kind<T>{});
    }

    // A copy of the value under `key`, or `fallback` when there is none.
    variant_t get_variant(const std::wstring& key, const variant_t& fallback = variant_t()) const;

    bool empty() const noexcept;
    void clear() noexcept;
    void swap(variant_bag_t& other) noexcept;

    // Same keys, same values of the same types, same sub-bags, recursively.
    bool operator==(const variant_bag_t& other) const;
    bool operator!=(const variant_bag_t& other) const { return !(*this == other); }

private:
    template <class T>
    struct kind {};

    variant_t* find(const std::wstring& key, kind<variant_t>) const;
    variant_bag_t* find(const std::wstring& key, kind<variant_bag_t>) const;
    variant_t* store(const std::wstring& key, const variant_t& value);
    variant_bag_t* store(const std::wstring& key, const variant_bag_t& value);
    bool erase(const std::wstring& key, kind<variant_t>);
    bool erase(const std::wstring& key, kind<variant_bag_t>);
    std::vector<std::wstring> list(kind<variant_t>) const;
    std::vector<std::wstring> list(kind<variant_bag_t>) const;

    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace corekit2
