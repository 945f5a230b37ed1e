#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "corekit2/sptr.hpp"
#include "talvo2/i_node.hpp"

namespace talvo2 {

// The library's implementation of every kind of node. Callers never make or hold a Node
// directly; what they use of it are the process-wide diagnostics below, none of which touches the
// last error.
class Node {
public:
    // The serial number of `node` (1 for the first node made in the process, or after reset);
    // 0 for an empty handle or an object that is not one of the library's nodes. The handle is
    // released. Thread-safe.
    TALVO2_API static uint32_t uid(corekit2::sptr_t<INode> node);
    // How many nodes were made since the library was loaded or since reset (not how many live).
    // Thread-safe.
    TALVO2_API static uint32_t nodeCount();
    // How many paths lead to live nodes: one marker path per node, plus its link path if linked.
    // Thread-safe.
    TALVO2_API static uint32_t handleCount();
    // Restarts the serial numbers and forgets every live node, which keeps working but is no
    // longer found by opening its path. Only for a quiet process: no other thread may be in the
    // library.
    TALVO2_API static void reset();

    // The node's state, defined inside the library.
    struct Fields;

    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // The order of the virtual operations below is fixed: it is shared by every node kind. Each
    // behaves as the INode operation of the same name describes.
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

protected:
    // Binds to the marker file `markerPath` (or to the marker a link file there names, in which
    // case `markerPath` is replaced by it); `groupPath` names the group the node is opened from.
    // Only the node kinds' constructors call this, under the registry lock.
    Node(std::wstring& markerPath, const wchar_t* groupPath);

private:
    friend struct NodeAccess;  // the library's own way to the state
    std::unique_ptr<Fields> m_fields;
};

}  // namespace talvo2
