#pragma once

#include <cstdint>
#include <string>

#include "corekit2/object.hpp"
#include "corekit2/sptr.hpp"
#include "notify2/progress.hpp"
#include "propstore2/property_storage.hpp"
#include "talvo2/error.hpp"
#include "talvo2/export.hpp"
#include "talvo2/i_flag_data.hpp"
#include "talvo2/i_node_group.hpp"

namespace talvo2 {

// A node: a directory on disk with a marker file whose extension tells the node's kind (result
// directory, experiment, project) and whose content is the node's property bag.
//
// Nodes are shared: opening the same marker file twice in a process gives the same object, and
// every handle (corekit2::sptr_t) holds one reference; returned handles are new references the
// caller owns. Reference counting is thread-safe; every other operation expects one thread at a
// time per node (the node's group and storages included).
//
// Each operation says what it leaves as the calling thread's last error
// (ResultDirectoryManager::getLastError); one that says nothing of it leaves it as it was.
// Returned const wchar_t* strings belong to the node and stay valid until the same value changes
// or the node is destroyed.
//
// The order of the virtual operations is the binary interface: never reorder, insert or remove.
class TALVO2_API INode : public corekit2::object_interface_t {
public:
    INode();
    INode(const INode&);
    INode& operator=(const INode&);
    ~INode() override;

    // The node's directory, absolute; it changes when the node is copied or moved.
    virtual const wchar_t* getPath() = 0;
    // The marker file. When it is gone, the node looks in its directory for a marker of the same
    // extension (one renamed behind its back) and rebinds to it, keeping unsaved changes; the last
    // error is then that search's outcome: OK (also when none is found), OperationFailed when the
    // marker found cannot be loaded or a link not written, or why the directory cannot be read.
    // While the marker is in place the last error stays as it was.
    virtual const wchar_t* getMarkerFilePath() = 0;
    // Bytes and number of regular files below the directory; symbolic links are not followed. A
    // part that cannot be read ends the walk: the answer is what was counted until then. The last
    // error stays as it was.
    virtual int64_t getSize() = 0;
    virtual int32_t getFilesCount() = 0;
    // Rebinds a linked node whose marker file is gone to the marker file at `path`, reloading the
    // bag from it. InvalidPath for a null, empty or unencodable path; ParameterError, changing
    // nothing, unless the node is linked, its link file is there and its marker is missing (after
    // following a rename); NotFound when nothing is at `path`. Otherwise the node is bound to
    // `path`: true with OK, or false with OperationFailed when it cannot be loaded or the link
    // cannot be written (the node stays bound to `path`).
    virtual bool changeMarkerFilePath(const wchar_t* path) = 0;
    // The name shown to people: the marker's name without extension (a project marker named
    // "config" shows its directory's name); null while the marker file is missing. Follows a
    // renamed marker and leaves the last error as getMarkerFilePath does.
    virtual const wchar_t* getUserVisibleName() = 0;
    // Renames the marker within its directory to `name` plus its extension, never replacing a
    // file, and rebinds keeping unsaved changes. True with OK (also for the current name); false
    // with ParameterError for null, empty, ".", ".." or a name holding a separator, AlreadyExists
    // when a file of the new name is there, another mapped failure of the rename, or
    // OperationFailed when the renamed marker could not be bound (it keeps the new name).
    virtual bool changeUserVisibleName(const wchar_t* name) = 0;
    // The node whose group holds this node (a project or experiment), or empty.
    virtual corekit2::sptr_t<INode> getParent() = 0;
    // Places the node in the group at `path` (a project's or experiment's directory, marker or
    // link file, or a plain directory): its owner becomes the parent (a plain directory: none), and
    // a link file is written into the parent's directory when the node lies outside it (an old one
    // goes); the marker then records the link, which writes the whole bag, unsaved changes
    // included. True with OK, or with OperationFailed when a link file or the marker could not be
    // written. A null path, the group the node is in, or a path where no group opens changes
    // nothing (true, OK). A node never becomes its own parent.
    virtual bool setParent(const wchar_t* path) = 0;
    // The nearest ancestor that is a project, or empty.
    virtual corekit2::sptr_t<INode> getProject() = 0;
    // The group of the node's members for a project or experiment (a handle on it is a reference
    // on this node); empty for a result directory.
    virtual corekit2::sptr_t<INodeGroup> getNodeGroup() = 0;
    // Typed access to the property bag; changes mark the node modified and reach disk on save. The
    // same storage on every call; it holds no reference on the node: once the node is destroyed it
    // reads nothing and takes no writes.
    virtual corekit2::sptr_t<propstore2::IPropertyStorage> getPropertyStorage() = 0;
    // Writes the property bag to the marker file, atomically. While another node or process holds
    // the flag "project_read_only" (asked as ownFlag asks, which may clear a leftover of it), false
    // with FlagOwnedElsewhere, changing nothing. Otherwise clears the modified mark and
    // remove-on-close first, so a failed write never deletes the node on close, then writes: true
    // with OK, or false with OperationFailed when the file cannot be written.
    virtual bool save() = 0;
    // Whether the property bag was changed since the node was opened or last saved.
    virtual bool isModified() = 0;
    // Seconds since 1970 at which the node was created; 0 when not recorded.
    virtual int64_t getCreationTime() = 0;
    // Values kept with the node in memory only; never marks the node modified. The same storage
    // on every call, cut off from the values when the node is destroyed.
    virtual corekit2::sptr_t<propstore2::IPropertyStorage> getTransientStorage() = 0;
    // Whether a link file places the node in a group (getLinkFilePath names it).
    virtual bool isLinked() = 0;
    // Whether the marker file is gone, after following a rename and leaving the last error as
    // getMarkerFilePath does.
    virtual bool isMissing() = 0;
    // Whether the marker file changed since the link to it was written; opening through the link
    // writes it afresh when it can.
    virtual bool isLinkStale() = 0;
    // A mark for callers; the library itself does not consult it.
    virtual bool isReadOnly() = 0;
    virtual void setReadOnly(bool readOnly) = 0;
    // When set, the node is deleted as remove() does when its last handle goes, unless a save()
    // since cleared the mark (also one whose write failed); what that deletion meets is not
    // reported.
    virtual void setRemoveOnClose(bool remove) = 0;
    // Deletes the node from disk: for a project or experiment its members first, also those that
    // lie elsewhere and are linked in (their failures are not reported), then its directory tree
    // (symbolic links inside are deleted, never followed) and its link file. True with OK, also
    // when the directory was gone already; false with the first failure met (the link file still
    // goes). The object lives on, missing; a removed result answers isValid() false.
    virtual bool remove() = 0;
    // Named flags held between processes: flag NAME is held through the lock file NAME plus
    // getFlagLockExtension() in the node's directory, with the holder's owner record beside it in
    // NAME plus getFlagInfoExtension(). NAME may reach into a subdirectory ("locks/x"), never out:
    // null, empty and absolute names and names with an empty, "." or ".." element answer
    // ParameterError. One node holds a flag at a time, in this process or any other; it lets go
    // (deleting the files) on removeFlag and when it is destroyed, and takes its flags along when
    // copied or moved. Each flag operation leaves its answer as the last error.
    //
    // setFlag: addFlag(name, data, false, true) == OK, so false (AlreadyExists) when this node
    // holds the flag already.
    virtual bool setFlag(const wchar_t* name) = 0;
    // Takes the flag and writes this process's owner record: OK. Held by this node already:
    // AlreadyExists, or with `replace` the record is written afresh (OK or the write's failure).
    // Otherwise, without `replace` or `takeOver`, the lock file must be new: one that is there
    // (held elsewhere, or a leftover) answers AlreadyExists. With either, a leftover that nobody
    // holds is taken over and a living holder answers FileLocked; with `takeOver` alone a
    // leftover owner record that cannot be read refuses, with its error. AccessDenied, FileError
    // or RecordFormatError when the files cannot be opened or written.
    virtual error_t addFlag(const wchar_t* name, bool replace, bool takeOver) = 0;
    // The same; `data` always receives a new record of who holds the flag as found: this node
    // when it holds it, the other holder when refused (if its record can be read), else an empty
    // record (time 0, no names).
    virtual error_t addFlag(const wchar_t* name, corekit2::sptr_t<IFlagData>& data, bool replace,
                            bool takeOver) = 0;
    // clearFlag: removeFlag(name, force) == OK.
    virtual bool clearFlag(const wchar_t* name, bool force) = 0;
    // Gives the flag up and deletes its files: OK when this node held it; NotFound when there is
    // no lock file. Not held by this node: FlagOwnedElsewhere; with `force` a leftover that nobody
    // holds is deleted instead (OK), while a living holder answers FileLocked.
    virtual error_t removeFlag(const wchar_t* name, bool force) = 0;
    // Whether this node holds the flag: OK when it does, NotFound when there is no lock file,
    // FlagOwnedElsewhere when another node or process holds it. A leftover that nobody holds
    // answers NotFound and is deleted when its owner record can be read; a record that cannot be
    // read, or a lock file that cannot be opened, answers its error (RecordFormatError, FileError,
    // AccessDenied).
    virtual error_t ownFlag(const wchar_t* name) = 0;
    // The link file that places the node in its parent's group; "" when it is not linked.
    virtual const wchar_t* getLinkFilePath() = 0;
    // Copies the whole directory to `destination` (a new directory whose parent exists) and
    // rebinds this node (same object, handles and flags) to the copy; symbolic links and flag
    // files are not copied, and the held flags move to the copy. With `renameMarker` the marker
    // takes the new directory's name. `progress` (may be null) hears of every file and may cancel.
    // False when nothing was copied, leaving nothing at `destination`: ParameterError for null or
    // "", InvalidPath, AlreadyExists when something is there, FileError when the directory cannot
    // be made or the copy fails or is canceled. True once the copy is made, with last error OK, or
    // with the reason when a later step failed: rebinding to the copy (writing the link into the
    // parent's group, say) or, with `renameMarker`, renaming the marker (AlreadyExists when a file
    // of the new name is there), in which case the marker keeps its old name. A project's or
    // experiment's output directory becomes the new directory.
    virtual bool copy(const wchar_t* destination, bool renameMarker,
                      notify2::IProgress* progress) = 0;
    // copy, then deletes the old directory. False with FileError when that deletion fails: the
    // node then stands for the copy already, and the old directory may be partly gone.
    virtual bool move(const wchar_t* destination, bool renameMarker,
                      notify2::IProgress* progress) = 0;
    // Makes a new node of the same kind at `name` (its directory or marker path, relative to the
    // current directory; "@" is literal for a result) holding a copy of this node's directory as
    // it is on disk (symbolic links left out, the files of held flags copied as they are), its
    // marker renamed to the new node's; a result's copy forgets the link that placed the original.
    // The new node is not left open. The new marker's path, with OK or a later step's failure; ""
    // with InvalidPath for null, AlreadyExists when the directory is there, or the creation's
    // error. When filling the new directory fails it is deleted again: "" with OperationFailed
    // when the marker could not be put in place, with the creation's outcome (usually OK) when
    // the copy failed.
    virtual std::wstring duplicate(const wchar_t* name) const = 0;
};

}  // namespace talvo2
