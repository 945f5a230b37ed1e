#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "corekit2/export.hpp"

namespace corekit2 {

// Allocates storage for a reference-counted object. Small sizes come from per-size free lists that
// are shared by all threads; larger ones from the global heap. Throws std::bad_alloc on exhaustion.
COREKIT2_API void* pool_allocate(std::size_t size);

// Returns storage obtained from pool_allocate with the same size. A null pointer is ignored.
COREKIT2_API void pool_deallocate(void* block, std::size_t size) noexcept;

// Root of every interface handed across library boundaries. The slot order (add_ref, release,
// get_type, destructor) is part of the binary interface and never changes.
class COREKIT2_API object_interface_t {
public:
    // Adds a reference; returns the new count.
    virtual uint32_t add_ref() = 0;
    // Drops a reference; returns the new count. At zero the object destroys itself.
    virtual uint32_t release() = 0;
    // The name the object's type is registered under; "object" unless a type says otherwise.
    virtual const char* get_type() const;
    virtual ~object_interface_t();

protected:
    object_interface_t() = default;
    object_interface_t(const object_interface_t&) = default;
    object_interface_t& operator=(const object_interface_t&) = default;
};

// Thread-safe reference counter. sync_inc and sync_dec return the new count.
class mt_ref_count_impl_t {
public:
    explicit mt_ref_count_impl_t(uint32_t initial = 0) noexcept : m_count(initial) {}
    mt_ref_count_impl_t(const mt_ref_count_impl_t&) = delete;
    mt_ref_count_impl_t& operator=(const mt_ref_count_impl_t&) = delete;

    uint32_t sync_inc() noexcept { return m_count.fetch_add(1, std::memory_order_relaxed) + 1; }
    // Acquire-release so that the thread that reaches zero sees every write made under earlier
    // references before it destroys the object.
    uint32_t sync_dec() noexcept { return m_count.fetch_sub(1, std::memory_order_acq_rel) - 1; }
    uint32_t count() const noexcept { return m_count.load(std::memory_order_acquire); }

private:
    std::atomic<uint32_t> m_count;
};

// Implements add_ref/release of an interface with an mt_ref_count_impl_t: the object starts with
// no references and deletes itself when the last one goes. Objects live in the pool allocator.
template <class Interface>
class ref_counted_t : public Interface {
public:
    using Interface::Interface;

    uint32_t add_ref() override { return m_refs.sync_inc(); }
    uint32_t release() override {
        const uint32_t left = m_refs.sync_dec();
        if (left == 0) delete this;
        return left;
    }

    static void* operator new(std::size_t size) { return pool_allocate(size); }
    static void operator delete(void* block, std::size_t size) noexcept {
        pool_deallocate(block, size);
    }

private:
    mt_ref_count_impl_t m_refs;
};

}  // namespace corekit2
