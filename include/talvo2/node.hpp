#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "corekit2/sptr.hpp"
#include "talvo2/i_node.hpp"

namespace talvo2 {

// The library's implementation of every kind of node. Callers never make or hold a Node
// directly; what they use of it are the process-wide diagnostics below.
class Node {
public:
    // The serial number of `node` (1 for the first node made in the process, or after reset);
    // 0 for an empty handle or an object that is not one of the library's nodes. The handle is
    // released. Thread-safe.
    TALVO2_API static uint32_t uid(corekit2::sptr_t<INode> node);
    // How many nodes were made since the library was loaded or since reset (not how many live).
    TALVO2_API static uint32_t nodeCount();
    // How many paths lead to live nodes: one marker path per node, plus its link path if linked.
    TALVO2_API static uint32_t handleCount();
    // Restarts the serial numbers and forgets every live node, which keeps working but is no
    // longer found by opening its path. Only for a quiet process: no other thread may be in the
    // library.
    TALVO2_API static void reset();

    // The node's state, defined inside the library.
    struct Fields;

    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // The order of the virtual operations below is fixed: it is shared by every node kind.
    virtual ~Node();
    // The node's INode view.
    virtual INode* asINode() = 0;
    virtual uint32_t add_ref();
    virtual uint32_t release();
    virtual const wchar_t* getPath();
    virtual int32_t getFilesCount();
    virtual int64_t getSize();
    virtual const wchar_t* getMarkerFilePath();
    virtual bool changeMarkerFilePath(const wchar_t* path);
    virtual const wchar_t* getUserVisibleName();
    virtual bool changeUserVisibleName(const wchar_t* name);
    virtual corekit2::sptr_t<INode> getParent();
    virtual bool setParent(const wchar_t* path);
    virtual corekit2::sptr_t<INode> getProject();
    virtual corekit2::sptr_t<INodeGroup> getNodeGroup();
    virtual corekit2::sptr_t<propstore2::IPropertyStorage> getPropertyStorage();
    virtual bool save();
    virtual bool isModified();
    virtual int64_t getCreationTime();
    virtual corekit2::sptr_t<propstore2::IPropertyStorage> getTransientStorage();
    virtual bool isLinked();
    virtual bool isMissing();
    virtual bool isLinkStale();
    virtual bool isReadOnly();
    virtual void setReadOnly(bool readOnly);
    virtual void setRemoveOnClose(bool remove);
    virtual error_t addFlag(const wchar_t* name, bool replace, bool takeOver);
    virtual error_t addFlag(const wchar_t* name, corekit2::sptr_t<IFlagData>& data, bool replace,
                            bool takeOver);
    virtual error_t removeFlag(const wchar_t* name, bool force);
    virtual error_t ownFlag(const wchar_t* name);
    virtual const wchar_t* getLinkFilePath();

    Fields& fields() { return *m_fields; }
    const Fields& fields() const { return *m_fields; }

protected:
    // Binds to the marker file `markerPath` (or to the marker a link file there names, in which
    // case `markerPath` is replaced by it); `groupPath` names the group the node is opened from.
    // Only the node kinds' constructors call this, under the registry lock.
    Node(std::wstring& markerPath, const wchar_t* groupPath);

    // Binds the node to `markerPath` as opened from the group at `groupPath` (may be null).
    // Returns whether the calling thread's last error is OK afterwards.
    bool bind(const std::wstring& markerPath, const wchar_t* groupPath);

    // Copies the node's directory to `destination` (which must not exist), leaving flag files
    // out, then rebinds this node to the copy, its flags held there. With `renameMarker` the
    // marker takes the new directory's name. `progress` (may be null) hears of every file and
    // may cancel; a failed or canceled copy leaves nothing at the destination.
    bool copyTo(const wchar_t* destination, bool renameMarker, notify2::IProgress* progress);
    // copyTo, then deletes the old directory.
    bool moveTo(const wchar_t* destination, bool renameMarker, notify2::IProgress* progress);

private:
    // Follows a marker file renamed within the node's directory.
    void refreshMarker();
    // Binds to the same marker under a new name, keeping changes not yet saved.
    bool rebindKeepingChanges(const std::wstring& markerPath, const wchar_t* groupPath);
    // Takes the owner of the group at `groupPath` as parent (none for a plain directory; never
    // the node itself); where no group opens, the parent stays.
    void adoptParentFrom(const std::wstring& groupPath);
    // Reads the link file `linkPath`, which from now on leads to this node; `markerPath`
    // receives the marker path it records.
    bool readLinkFile(const std::wstring& linkPath, std::wstring& markerPath);
    // Keeps the link file in the parent's directory in step with where the node is: written when
    // the node lies outside its parent's directory, deleted when it no longer does.
    void updateLinks();

    std::unique_ptr<Fields> m_fields;
};

}  // namespace talvo2
