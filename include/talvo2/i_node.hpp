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
// every handle (corekit2::sptr_t) holds one reference. Reference counting is thread-safe; the
// other operations expect one thread at a time per node.
//
// Operations that return an object or bool leave the reason for a failure in the calling thread's
// last error (ResultDirectoryManager::getLastError). Returned const wchar_t* strings belong to the
// node and stay valid until the same value changes or the node is destroyed.
//
// The order of the virtual operations is the binary interface: never reorder, insert or remove.
class TALVO2_API INode : public corekit2::object_interface_t {
public:
    INode();
    INode(const INode&);
    INode& operator=(const INode&);
    ~INode() override;

    // The node's directory.
    virtual const wchar_t* getPath() = 0;
    // The marker file; follows a marker file renamed inside the directory.
    virtual const wchar_t* getMarkerFilePath() = 0;
    // Bytes and number of regular files below the directory; symbolic links are not followed.
    virtual int64_t getSize() = 0;
    virtual int32_t getFilesCount() = 0;
    // Rebinds a linked node whose marker file is gone to the marker file at `path`.
    virtual bool changeMarkerFilePath(const wchar_t* path) = 0;
    // The name shown to people (null while the marker file is missing); changing it renames the
    // marker file within its directory.
    virtual const wchar_t* getUserVisibleName() = 0;
    virtual bool changeUserVisibleName(const wchar_t* name) = 0;
    // The node whose group holds this node (a project or experiment), or empty.
    virtual corekit2::sptr_t<INode> getParent() = 0;
    virtual bool setParent(const wchar_t* path) = 0;
    // The nearest ancestor that is a project, or empty.
    virtual corekit2::sptr_t<INode> getProject() = 0;
    // The group of the node's members (projects and experiments), or empty.
    virtual corekit2::sptr_t<INodeGroup> getNodeGroup() = 0;
    // Typed access to the property bag; changes mark the node modified and reach disk on save.
    virtual corekit2::sptr_t<propstore2::IPropertyStorage> getPropertyStorage() = 0;
    // Writes the property bag to the marker file and clears the modified mark and remove-on-close
    // first, so a failed write never deletes the node on close. False with OperationFailed when
    // the file cannot be written; false with FlagOwnedElsewhere, changing nothing, while another
    // holder has the flag "project_read_only".
    virtual bool save() = 0;
    virtual bool isModified() = 0;
    // Seconds since 1970 at which the node was created; 0 when not recorded.
    virtual int64_t getCreationTime() = 0;
    // Values kept with the node in memory only.
    virtual corekit2::sptr_t<propstore2::IPropertyStorage> getTransientStorage() = 0;
    virtual bool isLinked() = 0;
    // Whether the marker file is gone.
    virtual bool isMissing() = 0;
    // Whether the marker file changed since the link to it was written.
    virtual bool isLinkStale() = 0;
    // A mark for callers; the library itself does not consult it.
    virtual bool isReadOnly() = 0;
    virtual void setReadOnly(bool readOnly) = 0;
    // When set, the node's directory is deleted when the last handle goes, unless it was saved.
    virtual void setRemoveOnClose(bool remove) = 0;
    // Deletes the node from disk.
    virtual bool remove() = 0;
    // Named flags held between processes. setFlag and clearFlag are shorthands for the
    // error_t-returning operations and answer whether those answered OK.
    virtual bool setFlag(const wchar_t* name) = 0;
    virtual error_t addFlag(const wchar_t* name, bool replace, bool takeOver) = 0;
    virtual error_t addFlag(const wchar_t* name, corekit2::sptr_t<IFlagData>& data, bool replace,
                            bool takeOver) = 0;
    virtual bool clearFlag(const wchar_t* name, bool force) = 0;
    virtual error_t removeFlag(const wchar_t* name, bool force) = 0;
    virtual error_t ownFlag(const wchar_t* name) = 0;
    // The link file through which the node was opened; empty when it is not linked.
    virtual const wchar_t* getLinkFilePath() = 0;
    // Copies or moves the whole directory and rebinds this node to the new place. False with the
    // reason as last error when nothing was copied (a failed or canceled copy leaves nothing at
    // `destination`); true once the copy is made, with last error OK, or with the reason when a
    // later step failed: rebinding to the copy (writing the link into the parent's group, say) or,
    // with `renameMarker`, renaming the marker (AlreadyExists when a file of the new name is
    // there), in which case the marker keeps its old name.
    virtual bool copy(const wchar_t* destination, bool renameMarker,
                      notify2::IProgress* progress) = 0;
    virtual bool move(const wchar_t* destination, bool renameMarker,
                      notify2::IProgress* progress) = 0;
    // Makes a second node of the same kind beside `name`; returns its marker path or "".
    virtual std::wstring duplicate(const wchar_t* name) const = 0;
};

}  // namespace talvo2
