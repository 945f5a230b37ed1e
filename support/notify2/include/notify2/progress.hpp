#pragma once

namespace notify2 {

// Progress and cancellation of a long operation, implemented by the caller and called from the
// thread that runs the operation. The slot order is part of the binary interface. The interface
// has no reference counting: the caller keeps the object alive for the whole operation.
class IProgress {
public:
    // Once, before any work: a description and the total amount of work (bytes for copies).
    virtual void begin(const wchar_t* text, double total) = 0;
    // Changes the total after begin. Not called by the library; a no-op unless overridden.
    virtual void setTotal(double total) { (void)total; }
    // After a piece of work: how much it was, in the unit of the total.
    virtual void advance(double amount) = 0;
    // Before a piece of work: what it is (for copies, the source file's path).
    virtual void setItem(const wchar_t* text) = 0;
    // Once, when work that began ends, whether it succeeded or not.
    virtual void end() = 0;
    // A status line beside the item. Not called by the library; a no-op unless overridden.
    virtual void setStatus(const wchar_t* text) { (void)text; }
    // Asks the operation to stop; afterwards isCanceled answers true. Not called by the library.
    virtual void cancel() {}
    // Whether the operation is to stop now.
    virtual bool isCanceled() = 0;

protected:
    IProgress() = default;
    IProgress(const IProgress&) = default;
    IProgress& operator=(const IProgress&) = default;
    // Not deleted through this interface: the owner knows the real type.
    ~IProgress() = default;
};

}  // namespace notify2
