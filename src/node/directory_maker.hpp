#pragma once

#include <memory>
#include <string>

#include "corekit2/variant_bag.hpp"
#include "node/owner_listing.hpp"
#include "talvo2/error.hpp"

namespace talvo2 {

// Makes the directory of a new node (a result, project or experiment) named by `path` (its last
// element a name or a pattern such as r@@@ or r_{at}), resolved against the output directory of the
// group at `base` or, without one, the current directory. A numbered name takes one past the
// highest number present in the parent (and in `base`) among directories and link files, and moves
// on when another creator wins the race. A plain name must be new, unless `overwrite` removes what
// is there. Variables come from the "talvo" section of `bag`; with `literal`, "@" is an ordinary
// character. On OK `created` is the new directory, and `listed` (when given) receives, where the
// parent was listed to find the number, what that listing says of its owner, for the binding of the
// new node to use.
error_t makeNodeDirectory(const std::wstring& path, const std::wstring& base, bool overwrite,
                          const corekit2::variant_bag_t& bag, bool literal, std::wstring& created,
                          std::unique_ptr<OwnerListingHint>* listed = nullptr);

}  // namespace talvo2
