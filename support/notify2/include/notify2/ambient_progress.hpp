#pragma once

// A progress a caller puts in place for the operations its thread runs next, for long operations
// whose interface takes no progress argument. Operations that take one explicitly ignore it.

#include "notify2/export.hpp"
#include "notify2/progress.hpp"

namespace notify2 {

// The calling thread's ambient progress, or null. The caller of setAmbientProgress owns it.
NOTIFY2_API IProgress* ambientProgress();

// Makes `progress` (may be null) the calling thread's ambient progress; returns the previous one.
NOTIFY2_API IProgress* setAmbientProgress(IProgress* progress);

// Puts a progress in place for the lifetime of the scope, then restores the previous one.
class ProgressScope {
public:
    explicit ProgressScope(IProgress* progress) : m_previous(setAmbientProgress(progress)) {}
    ~ProgressScope() { setAmbientProgress(m_previous); }
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;

private:
    IProgress* m_previous;
};

}  // namespace notify2
