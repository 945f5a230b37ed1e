#pragma once

// The one place where the calling thread's last error is written. Every exported operation runs
// its body through `exported`: the body returns what the caller gets and what the last error
// becomes, or that it stays as the caller left it; an exception that would escape (memory, a
// string that does not convert) becomes OperationFailed and the operation's failure value.
// Internal code returns error_t (or a Result) and never reads or writes the last error: an error
// is set where it arises, carried up unchanged, and written once, here.

#include <utility>

#include "talvo2/error.hpp"

namespace talvo2 {

// What a value-returning internal step produced, and how it went. `error` may be set beside a
// value: a node whose marker did not load is still the node of that marker.
template <class T>
struct Result {
    T value{};
    error_t error = OK;
};

// What an exported operation leaves as the calling thread's last error.
class LastError {
public:
    // The code `code`, OK included.
    LastError(error_t code) : m_code(code), m_set(true) {}  // NOLINT: implicit on purpose
    // The last error as the caller left it.
    static LastError kept() { return LastError(); }

    bool isKept() const { return !m_set; }
    error_t code() const { return m_code; }
    // Writes the code as the calling thread's last error (nothing when kept).
    void store() const noexcept;

private:
    LastError() = default;
    error_t m_code = OK;
    bool m_set = false;
};

// What an exported operation gives its caller, and the last error it leaves.
template <class T>
struct Reply {
    T value;
    LastError last;
};

// The answer of an exported operation that fails with `error` (also its last error).
template <class T>
Reply<T> failed(T value, error_t error) {
    return Reply<T>{std::move(value), LastError(error)};
}

// Runs `body`, the whole of an exported operation, and returns its value after storing the last
// error it asks for. `failure` is returned, with OperationFailed, when `body` throws.
template <class T, class Body>
T exported(T failure, Body&& body) noexcept {
    try {
        Reply<T> reply = body();
        reply.last.store();
        return std::move(reply.value);
    } catch (...) {
        LastError(OperationFailed).store();
        return failure;
    }
}

// The same for an operation that returns nothing; `body` returns the LastError.
template <class Body>
void exportedVoid(Body&& body) noexcept {
    try {
        const LastError last = body();
        last.store();
    } catch (...) {
        LastError(OperationFailed).store();
    }
}

// Runs the internal step `step(arguments...)`, which returns a Result<T>, as a whole exported
// operation: its value for the caller, its error as the last error.
template <class T, class... Parameters, class... Arguments>
T answer(Result<T> (*step)(Parameters...), Arguments&&... arguments) noexcept {
    return exported(T{}, [&]() -> Reply<T> {
        Result<T> result = step(std::forward<Arguments>(arguments)...);
        return {std::move(result.value), result.error};
    });
}

// Prepares the thread-local slot of the last error; called once at load.
void initLastError();

}  // namespace talvo2
