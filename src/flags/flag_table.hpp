#pragma once

#include <boost/shared_ptr.hpp>
#include <map>
#include <mutex>
#include <string>

#include "corekit2/variant_bag.hpp"
#include "flags/file_locker.hpp"

namespace talvo2 {

// The flags one node holds: for each flag path, the open lock file and the owner record this
// node last wrote. An entry exists exactly while the node holds the flag.
struct FlagTable {
    struct Entry {
        boost::shared_ptr<util::FileLocker> locker;
        corekit2::variant_bag_t info;
    };

    std::mutex mutex;
    std::map<std::wstring, Entry> entries;
};

// Releases every flag in `table` and deletes its files.
void releaseAllFlags(FlagTable& table);

}  // namespace talvo2
