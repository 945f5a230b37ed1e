#pragma once

// Finding the owner of a directory (the project or experiment whose marker lies in it) means
// listing the directory, and every node opened there asks for it while binding: opening the
// results of a folder of thousands one by one would list that folder thousands of times. So the
// candidates of a listing are remembered, and used again only while the directory provably has
// not changed since: the same directory with the same modification time, that time far enough
// behind the clock that a change in the same clock tick cannot hide behind it, on a local file
// system whose times this machine's clock sets. An operation that has just listed the directory
// itself (a numbered creation) hands its listing on to the binding that follows through a hint.

#include <boost/filesystem/path.hpp>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "talvo2/error.hpp"

namespace talvo2 {

// Whether `name` (a file name as the file system stores it) ends in the extension of a project,
// an experiment or a packed experiment, in any case: the names an owner lookup may take.
bool isOwnerFileName(const std::string& name);

// The regular files of `directory` (links followed) that isOwnerFileName accepts, by name, in
// listing order: from the calling thread's hint, from a remembered listing, or listed now. OK,
// or the mapped reason why the directory cannot be listed. `stamp`, when given, is the
// directory's stamp the caller has just taken.
error_t ownerFileNames(const boost::filesystem::path& directory, std::vector<std::string>& names,
                       const platform::DirectoryStamp* stamp = nullptr);

// Whether the calling thread's hint is about `directory`: then it is a directory, just listed.
bool hintedDirectory(const boost::filesystem::path& directory);

// Tells owner lookups of `directory` in the calling thread, for as long as it lives, that its
// candidates are `names`: what the caller found listing it within the same operation.
class OwnerListingHint {
public:
    OwnerListingHint(boost::filesystem::path directory, std::vector<std::string> names);
    ~OwnerListingHint();
    OwnerListingHint(const OwnerListingHint&) = delete;
    OwnerListingHint& operator=(const OwnerListingHint&) = delete;

    const boost::filesystem::path& directory() const { return m_directory; }
    const std::vector<std::string>& names() const { return m_names; }

private:
    boost::filesystem::path m_directory;
    std::vector<std::string> m_names;
    const OwnerListingHint* m_previous;
};

}  // namespace talvo2
