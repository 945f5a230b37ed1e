#pragma once

#include <functional>
#include <memory>
#include <string>

#include "corekit2/variant_bag.hpp"
#include "node/owner_listing.hpp"
#include "platform/file_system.hpp"
#include "talvo2/error.hpp"

namespace talvo2 {

// What a new node's directory holds when it appears: the filler puts the marker `markerLeaf`
// (and anything else) into `directory` while the directory is still out of sight. A failure
// answer gives the creation up, and nothing of it stays.
using NodeFiller =
    std::function<error_t(platform::Directory& directory, const std::string& markerLeaf)>;

struct NodeRequest {
    std::wstring path;  // the directory's name or pattern (r@@@, r_{at}), as the caller gave it
    std::wstring base;  // the group whose output directory the path counts from; empty: none
    bool overwrite = false;
    bool literal = false;                          // "@" is an ordinary character
    const corekit2::variant_bag_t* bag = nullptr;  // variables come from its "talvo" section
    std::wstring markerName;  // the marker's file name, or only its extension: named after the
                              // directory
    NodeFiller fill;          // null: the marker holds `bag`
    std::wstring notWithin;   // a directory the new one must not lie in (a copy's source)
};

struct MadeNode {
    std::wstring directory;
    std::wstring marker;
    // Where the parent was listed to find the number, what that listing says of its owner, for
    // the binding of the new node in this thread to use while this lives.
    std::unique_ptr<OwnerListingHint> listed;
};

// Makes a new node (a result, project or experiment): its directory, named by the request's path
// resolved against the output directory of the group at `base` or, without one, the current
// directory, appears under that name only with its marker inside. It is filled under a hidden
// staging name and renamed into place without replacing anything, so a crash or a full disk
// leaves no half-made node in sight. A numbered name takes one past the highest number present in
// the parent (and in `base`) among directories and link files, and moves on when another creator
// wins the race. A plain name must be new (AlreadyExists), unless `overwrite` replaces what is
// there. Parents that are missing are made, and taken back when the creation fails. On OK `made`
// describes the new node; otherwise nothing the call made is left.
error_t makeNode(const NodeRequest& request, MadeNode& made);

}  // namespace talvo2
