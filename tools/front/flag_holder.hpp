#pragma once

// Who holds a flag, as the front ends report it: the library answers whether a flag is held
// elsewhere and by which user on which host since when; the holder's process id and the files a
// holder that died left behind are read here, from the flag's files beside the node.

#include <boost/filesystem/path.hpp>
#include <optional>
#include <string>
#include <vector>

#include "talvo2/talvo2.hpp"

namespace talvo_front {

struct FlagHolder {
    std::string user;  // UTF-8; may be empty
    std::string host;
    long long pid = 0;             // 0 when the record names none
    unsigned long long since = 0;  // seconds since the epoch
};

enum class FlagState {
    NotHeld,    // nobody holds it and nothing of it is left
    OwnedHere,  // the calling process holds it
    Held,       // another process holds it: see the holder
    Leftover,   // nobody holds it, but a holder that ended left its lock file
    Unknown,    // a lock file without a readable owner record
};

struct FlagStatus {
    FlagState state = FlagState::NotHeld;
    std::optional<FlagHolder> holder;    // set for Held when the record could be read
    talvo2::error_t error = talvo2::OK;  // not OK when the node's flags could not be asked
};

// The file of flag `name` on `node` named `name` + `kind` (the lock or the info extension),
// whatever it is (a dangling link included); empty when there is none or `name` is no file
// name.
boost::filesystem::path flagFile(talvo2::INode& node, const std::string& name,
                                 const std::string& kind);

// The holder named by `data` (what a refused addFlag filled in), with the pid from its owner
// record; empty when `data` names nobody.
std::optional<FlagHolder> holderOf(const corekit2::sptr_t<talvo2::IFlagData>& data,
                                   talvo2::INode& node, const std::string& name);

// Asks the library about flag `name` on `node`. Briefly takes the flag when it turns out free
// between two questions, and gives it back at once.
FlagStatus flagStatus(talvo2::INode& node, const std::string& name);

// Whether `code`, the outcome of taking a flag, means that another process holds it.
bool heldElsewhere(talvo2::error_t code);

// One attempt at flag `name` on `node` (replacing a flag of this process with `replace`, taking
// a dead holder's with `takeOver`): OK, or why not, with `data` naming the holder where it can.
// A leftover of a holder that ended is cleared on the way; one that left no owner record is
// RecordFormatError, since taking it over is the caller's decision.
talvo2::error_t takeFlag(talvo2::INode& node, const std::string& name, bool replace, bool takeOver,
                         corekit2::sptr_t<talvo2::IFlagData>& data);

// The names of the flags with a lock file on `node`, sorted; empty when its folder cannot be
// read.
std::vector<std::string> flagNames(talvo2::INode& node);

// "alice@node17 (pid 4242)" or "an unknown holder" when there is no readable record; control
// characters shown as "?".
std::string holderName(const std::optional<FlagHolder>& holder);

}  // namespace talvo_front
