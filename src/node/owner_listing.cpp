#include "node/owner_listing.hpp"

#include <algorithm>
#include <atomic>
#include <list>
#include <mutex>
#include <utility>

#include "node/marker_files.hpp"
#include "platform/files.hpp"
#include "platform/platform.hpp"
#include "talvo2/names.hpp"
#include "ulib_2_18/text.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

// A listing is trusted only when the directory last changed at least this long before the listing
// began: file systems keep times in coarse ticks, and a change in the tick of the listing could
// leave the time as it was.
constexpr int64_t kSettledNs = 2'000'000'000;

// How many directories are remembered: the parents of the nodes a process works with.
constexpr std::size_t kRemembered = 64;

struct Listing {
    std::string directory;
    platform::DirectoryStamp stamp;
    std::vector<std::string> names;
};

std::mutex& cacheMutex() {
    static std::mutex mutex;
    return mutex;
}

// Most recently used first.
std::list<Listing>& cache() {
    static std::list<Listing> listings;
    return listings;
}

thread_local const OwnerListingHint* t_hint = nullptr;

struct OwnerExtensions {
    ExtensionSet set;
    std::vector<std::size_t> lengths;  // in UTF-8 bytes
};

// Built once the product's extensions are known; null before.
const OwnerExtensions* ownerExtensions() {
    static std::atomic<const OwnerExtensions*> ready{nullptr};
    if (const OwnerExtensions* built = ready.load(std::memory_order_acquire)) return built;
    if (!*getProjectExtension(false)) return nullptr;
    static const OwnerExtensions built = [] {
        OwnerExtensions owners;
        owners.set = makeExtensionSet({getProjectExtension(false), getProjectExtension(true),
                                       getExperimentExtension(), getPackedExperimentExtension()});
        for (const std::wstring& extension : owners.set)
            owners.lengths.push_back(ulib_2_18::to_utf8(extension).size());
        return owners;
    }();
    ready.store(&built, std::memory_order_release);
    return &built;
}

bool remembered(const std::string& directory, const platform::DirectoryStamp& stamp,
                std::vector<std::string>& names) {
    const std::lock_guard<std::mutex> lock(cacheMutex());
    std::list<Listing>& listings = cache();
    for (auto it = listings.begin(); it != listings.end(); ++it) {
        if (it->directory != directory) continue;
        if (!(it->stamp == stamp)) {
            listings.erase(it);
            return false;
        }
        listings.splice(listings.begin(), listings, it);
        names = it->names;
        return true;
    }
    return false;
}

void remember(const std::string& directory, const platform::DirectoryStamp& stamp,
              const std::vector<std::string>& names) {
    const std::lock_guard<std::mutex> lock(cacheMutex());
    std::list<Listing>& listings = cache();
    listings.remove_if([&](const Listing& l) { return l.directory == directory; });
    listings.push_front(Listing{directory, stamp, names});
    if (listings.size() > kRemembered) listings.pop_back();
}

platform::Status list(const std::string& directory, std::vector<std::string>& names) {
    names.clear();
    std::vector<platform::DirectoryEntry> entries;
    const platform::Status listed = platform::listDirectory(directory, entries);
    if (!listed) return listed;
    for (const platform::DirectoryEntry& entry : entries) {
        if (!isOwnerFileName(entry.name)) continue;
        // A marker is a regular file of its own, never a link.
        if (platform::typeAt(directory + "/" + entry.name, false) == platform::FileType::Regular)
            names.push_back(entry.name);
    }
    return platform::Status();
}

}  // namespace

bool isOwnerFileName(const std::string& name) {
    const auto dot = name.rfind('.');
    const OwnerExtensions* owners = ownerExtensions();
    if (dot == std::string::npos || !owners) return false;
    // Most names in a folder are ruled out by their extension's length, unconverted (upper-casing
    // keeps the length of these extensions).
    const std::size_t length = name.size() - dot;
    if (std::find(owners->lengths.begin(), owners->lengths.end(), length) == owners->lengths.end())
        return false;
    return hasExtensionIn(owners->set, ulib_2_18::from_utf8(name.substr(dot)));
}

bool hintedDirectory(const fs::path& directory) {
    return t_hint && t_hint->directory().native() == directory.native();
}

error_t ownerFileNames(const fs::path& directory, std::vector<std::string>& names,
                       const platform::DirectoryStamp* stamp) {
    const std::string key = directory.native();
    if (hintedDirectory(directory)) {
        names = t_hint->names();
        return OK;
    }
    platform::DirectoryStamp before;
    if (stamp)
        before = *stamp;
    else if (!platform::directoryStamp(key, before))
        return list(key, names).error();
    if (remembered(key, before, names)) return OK;
    const int64_t started = platform::wallClockNs();
    const platform::Status listed = list(key, names);
    if (!listed) return listed.error();
    platform::DirectoryStamp after;
    if (platform::directoryStamp(key, after) && after == before &&
        before.modifiedNs < started - kSettledNs && before.changedNs < started - kSettledNs &&
        platform::timesAreLocal(key))
        remember(key, before, names);
    return OK;
}

OwnerListingHint::OwnerListingHint(fs::path directory, std::vector<std::string> names)
    : m_directory(std::move(directory)), m_names(std::move(names)), m_previous(t_hint) {
    t_hint = this;
}

OwnerListingHint::~OwnerListingHint() {
    t_hint = m_previous;
}

}  // namespace talvo2
