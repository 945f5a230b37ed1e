#include "corekit2/mutex.hpp"

#include <mutex>

namespace corekit2 {

struct mutex_t::Impl {
    std::mutex mutex;
};

mutex_t::mutex_t() : m_impl(std::make_unique<Impl>()) {}
mutex_t::~mutex_t() = default;
void mutex_t::acquire() {
    m_impl->mutex.lock();
}
void mutex_t::release() {
    m_impl->mutex.unlock();
}

}  // namespace corekit2
