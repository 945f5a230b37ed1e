#pragma once

// A check of a results tree for what crashes and full disks leave behind, and its sweep: the
// library behind `talvo doctor`.

#include <string>
#include <vector>

#include "talvo2/error.hpp"
#include "talvo2/export.hpp"

namespace talvo2 {

// What a check can find.
enum finding_t {
    FINDING_STAGING,        // a new node's hidden staging directory whose maker died
    FINDING_REMOVAL,        // a hidden removal whose remover died halfway
    FINDING_TEMPORARY,      // a hidden temporary file whose writer died
    FINDING_DEAD_FLAG,      // a flag's lock file (and owner record) whose holder is gone
    FINDING_DANGLING_LINK,  // a link file whose node's directory is gone
    FINDING_STALE_LINK,     // a link file that leads nowhere readable, or whose node names
                            // another link
    FINDING_UNMARKED_NODE,  // a directory holding a result's files (data.N, .norun, .bad) but
                            // no marker
};

struct TreeFinding {
    finding_t kind;
    std::wstring path;
    // Provably garbage: its maker is gone (nobody holds its lock) or what it leads to is. Only
    // such findings are ever removed.
    bool removable = false;
    // Removed by this check.
    bool removed = false;
};

// Looks through the tree below the directory `root` (never following a symbolic link, at most 64
// levels deep) and appends to `findings` what it finds, in listing order. With `fix`, removes the
// removable findings, each while holding its lock, so a live maker's entry is never touched and
// the check is safe while collectors write the tree; a finding that could not be removed stays
// with `removed` false. Nothing the check cannot classify is ever removed.
// Returns true when the tree was looked through (findings or not; the last error is then OK, or
// the first failure to list a directory inside it); false when `root` is null (InvalidPath) or
// cannot be opened as a directory (NotFound, InsufficientPermissions, OperationFailed). Any
// thread; `findings` is the caller's.
TALVO2_API bool checkTree(const wchar_t* root, bool fix, std::vector<TreeFinding>& findings);

}  // namespace talvo2
