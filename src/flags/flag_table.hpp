#pragma once

// The flags one node holds, as the node core asks for them (HeldFlags): named marks held between
// processes through exclusively opened lock files, with an owner record in an info file beside
// each.

#include <boost/shared_ptr.hpp>
#include <map>
#include <mutex>
#include <string>

#include "corekit2/variant_bag.hpp"
#include "flags/file_locker.hpp"
#include "node/held_flags.hpp"

namespace talvo2 {

class FlagTable final : public HeldFlags {
public:
    // What the library installs as the maker of every node's flags.
    static std::unique_ptr<HeldFlags> make();

    error_t add(const boost::filesystem::path& directory, const wchar_t* name, bool replace,
                bool takeOver, corekit2::sptr_t<IFlagData>* holder) override;
    error_t remove(const boost::filesystem::path& directory, const wchar_t* name,
                   bool force) override;
    error_t own(const boost::filesystem::path& directory, const wchar_t* name) override;
    void releaseAll() override;
    void suspend() override;
    void resume(const boost::filesystem::path& from, const boost::filesystem::path& to) override;
    void moved(const boost::filesystem::path& from, const boost::filesystem::path& to) override;

private:
    // Acquiring; `record` (when given) receives the owner record the acquisition produced or met.
    error_t acquire(const boost::filesystem::path& directory, const wchar_t* name, bool replace,
                    bool takeOver, corekit2::variant_bag_t* record);

    // For each flag path the open lock file and the owner record this node last wrote. An entry
    // exists exactly while the node holds the flag.
    struct Entry {
        boost::shared_ptr<util::FileLocker> locker;
        corekit2::variant_bag_t info;
    };

    std::mutex m_mutex;
    std::map<std::wstring, Entry> m_entries;
    // Held from suspend to resume: no flag is taken or given up while the node's files move.
    std::unique_lock<std::mutex> m_suspended{m_mutex, std::defer_lock};
};

}  // namespace talvo2
