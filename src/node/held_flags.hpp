#pragma once

// The flags a node holds, as the node core sees them. The flags subsystem implements them, and
// the library installs its maker when it loads: the node core never looks inside, it asks the
// flags to act, to let go, and to move with the node's files.

#include <boost/filesystem/path.hpp>
#include <memory>

#include "corekit2/sptr.hpp"
#include "talvo2/error.hpp"
#include "talvo2/i_flag_data.hpp"

namespace talvo2 {

class HeldFlags {
public:
    virtual ~HeldFlags() = default;

    // The flag operations of the node whose directory is `directory`; each answers as the INode
    // operation of the same name does, and none touches the last error. `holder` (when given)
    // receives who holds the flag as the acquisition found it: this node's fresh record, the
    // other holder's, or an empty one.
    virtual error_t add(const boost::filesystem::path& directory, const wchar_t* name, bool replace,
                        bool takeOver, corekit2::sptr_t<IFlagData>* holder) = 0;
    virtual error_t remove(const boost::filesystem::path& directory, const wchar_t* name,
                           bool force) = 0;
    virtual error_t own(const boost::filesystem::path& directory, const wchar_t* name) = 0;

    // Lets every flag go and deletes its files: the node is going away.
    virtual void releaseAll() = 0;
    // Keeps flags from being taken or given up until resume, and deletes the files of the held
    // ones, which a copy of the node's files must not carry.
    virtual void suspend() = 0;
    // Holds the suspended flags again in `to` (the directory they were in, `from`, after a failed
    // copy); a flag that cannot be held there is let go.
    virtual void resume(const boost::filesystem::path& from, const boost::filesystem::path& to) = 0;
    // The node's directory was renamed from `from` to `to`: the held flags' files went with it,
    // still held; only the paths they are known by change.
    virtual void moved(const boost::filesystem::path& from, const boost::filesystem::path& to) = 0;
};

using HeldFlagsMaker = std::unique_ptr<HeldFlags> (*)();

// Installs what makes every new node's flags; the library does so when it loads.
void setHeldFlagsMaker(HeldFlagsMaker maker);
// A new node's flags; null before a maker is installed.
std::unique_ptr<HeldFlags> makeHeldFlags();

}  // namespace talvo2
