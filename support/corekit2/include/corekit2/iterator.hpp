#pragma once

#include <utility>

namespace corekit2 {

// What a library implements to make a generic_iterator_t over its own sequence.
template <class T>
class iterator_handler_t {
public:
    virtual bool at_end() const = 0;
    // The element under the cursor; only called when not at the end.
    virtual T current() const = 0;
    virtual void advance() = 0;
    // An independent handler at the same position.
    virtual iterator_handler_t* copy() const = 0;
    // Destroys the handler (it may live in another module's heap).
    virtual void release() = 0;

protected:
    ~iterator_handler_t() = default;
};

// A forward iterator that owns one handler. Copies own copies of it, so two iterators advance
// independently. An iterator without a handler is at its end. Not synchronised.
template <class T>
class generic_iterator_t {
public:
    generic_iterator_t() noexcept = default;
    // Takes ownership of `handler`.
    explicit generic_iterator_t(iterator_handler_t<T>* handler) noexcept : m_handler(handler) {}
    generic_iterator_t(const generic_iterator_t& other)
        : m_handler(other.m_handler ? other.m_handler->copy() : nullptr) {}
    generic_iterator_t(generic_iterator_t&& other) noexcept
        : m_handler(std::exchange(other.m_handler, nullptr)) {}
    generic_iterator_t& operator=(generic_iterator_t other) noexcept {
        std::swap(m_handler, other.m_handler);
        return *this;
    }
    ~generic_iterator_t() {
        if (m_handler) m_handler->release();
    }

    bool at_end() const { return !m_handler || m_handler->at_end(); }
    // The current element; T() at the end.
    T current() const { return at_end() ? T() : m_handler->current(); }
    T operator*() const { return current(); }
    generic_iterator_t& operator++() {
        if (!at_end()) m_handler->advance();
        return *this;
    }

private:
    iterator_handler_t<T>* m_handler = nullptr;
};

}  // namespace corekit2
