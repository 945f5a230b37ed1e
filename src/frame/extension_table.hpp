#pragma once

#include <atomic>
#include <string>

#include "corekit2/mutex.hpp"

namespace talvo2 {

// The node and flag file extensions, formed once per process from the installed product
// description. Until a description is installed every entry reads as empty and the next read
// tries again. Once filled the entries never change, so readers need no lock.
class ExtensionTable {
public:
    enum entry_t {
        Result,
        Project,
        LegacyResult,
        LegacyProject,
        Experiment,
        PackedExperiment,
        FlagLock,
        FlagInfo,
        EntryCount
    };

    // The process-wide table.
    static ExtensionTable& instance();

    // The entry's text; "" while the table cannot be filled. Valid until the library unloads.
    const wchar_t* get(entry_t entry);

private:
    ExtensionTable() = default;
    bool fill();

    corekit2::mutex_t m_mutex;
    std::atomic<bool> m_initialised{false};
    std::wstring m_entries[EntryCount];
};

}  // namespace talvo2
