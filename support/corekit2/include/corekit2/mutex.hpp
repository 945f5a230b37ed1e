#pragma once

#include <memory>

#include "corekit2/export.hpp"

namespace corekit2 {

// A plain (non-recursive) process-local mutex for guarding process-wide tables.
class COREKIT2_API mutex_t {
public:
    mutex_t();
    ~mutex_t();
    mutex_t(const mutex_t&) = delete;
    mutex_t& operator=(const mutex_t&) = delete;

    // Blocks until the mutex is held by the calling thread. Taking it twice in one thread
    // deadlocks.
    void acquire();
    void release();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Holds a mutex_t for the lifetime of the guard.
class mutex_guard_t {
public:
    explicit mutex_guard_t(mutex_t& mutex) : m_mutex(mutex) { m_mutex.acquire(); }
    ~mutex_guard_t() { m_mutex.release(); }
    mutex_guard_t(const mutex_guard_t&) = delete;
    mutex_guard_t& operator=(const mutex_guard_t&) = delete;

private:
    mutex_t& m_mutex;
};

}  // namespace corekit2
