#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace corekit2 {

// Tag for taking over a reference that the caller already owns.
struct adopt_ref_t {};
inline constexpr adopt_ref_t adopt_ref{};

// Intrusive handle: holds one reference on an object with add_ref/release. Copying adds a
// reference, destruction drops one. A handle is not itself synchronised: share the object between
// threads by giving each thread its own handle.
template <class T>
class sptr_t {
public:
    sptr_t() noexcept = default;
    sptr_t(std::nullptr_t) noexcept {}
    sptr_t(T* object) noexcept : m_object(object) {
        if (m_object) m_object->add_ref();
    }
    sptr_t(T* object, adopt_ref_t) noexcept : m_object(object) {}
    sptr_t(const sptr_t& other) noexcept : sptr_t(other.m_object) {}
    sptr_t(sptr_t&& other) noexcept : m_object(other.detach()) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    sptr_t(const sptr_t<U>& other) noexcept : sptr_t(other.get()) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    sptr_t(sptr_t<U>&& other) noexcept : m_object(other.detach()) {}
    ~sptr_t() { reset(); }

    sptr_t& operator=(sptr_t other) noexcept {
        swap(other);
        return *this;
    }

    T* get() const noexcept { return m_object; }
    T* operator->() const noexcept { return m_object; }
    T& operator*() const noexcept { return *m_object; }
    explicit operator bool() const noexcept { return m_object != nullptr; }

    // Drops the reference held, if any.
    void reset() noexcept {
        if (T* old = std::exchange(m_object, nullptr)) old->release();
    }
    // Gives up the reference without releasing it; the caller now owns it.
    T* detach() noexcept { return std::exchange(m_object, nullptr); }
    // Takes over a reference the caller owns, dropping the one held before.
    void attach(T* object) noexcept { sptr_t(object, adopt_ref).swap(*this); }
    void swap(sptr_t& other) noexcept { std::swap(m_object, other.m_object); }

    friend bool operator==(const sptr_t& a, const sptr_t& b) noexcept {
        return a.m_object == b.m_object;
    }
    friend bool operator!=(const sptr_t& a, const sptr_t& b) noexcept { return !(a == b); }
    friend bool operator==(const sptr_t& a, std::nullptr_t) noexcept { return !a.m_object; }
    friend bool operator!=(const sptr_t& a, std::nullptr_t) noexcept {
        return a.m_object != nullptr;
    }

private:
    T* m_object = nullptr;
};

// Creates an object and returns the first handle on it.
template <class T, class... Args>
sptr_t<T> make_object(Args&&... args) {
    return sptr_t<T>(new T(std::forward<Args>(args)...));
}

}  // namespace corekit2
