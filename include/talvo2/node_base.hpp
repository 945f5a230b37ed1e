#pragma once

#include "talvo2/i_node.hpp"

namespace talvo2 {

// A node that does nothing: every operation gives a neutral answer (null, 0, false, empty, or
// NotImplemented for the flag operations; getCreationTime gives the current time), changes
// nothing and leaves the last error as it was. Derive from it to implement part of INode; add_ref
// and release remain to be implemented. Such a node is not one of the library's: the library's
// cast functions answer empty for it. The thread rules are the deriving class's.
class TALVO2_API NodeBase : public virtual INode {
public:
    NodeBase();
    NodeBase(const NodeBase&);
    NodeBase& operator=(const NodeBase&);
    ~NodeBase() override;

    const wchar_t* getPath() override;
    const wchar_t* getMarkerFilePath() override;
    int64_t getSize() override;
    int32_t getFilesCount() override;
    bool changeMarkerFilePath(const wchar_t* path) override;
    const wchar_t* getUserVisibleName() override;
    bool changeUserVisibleName(const wchar_t* name) override;
    corekit2::sptr_t<INode> getParent() override;
    bool setParent(const wchar_t* path) override;
    corekit2::sptr_t<INode> getProject() override;
    corekit2::sptr_t<INodeGroup> getNodeGroup() override;
    corekit2::sptr_t<propstore2::IPropertyStorage> getPropertyStorage() override;
    bool save() override;
    bool isModified() override;
    int64_t getCreationTime() override;
    corekit2::sptr_t<propstore2::IPropertyStorage> getTransientStorage() override;
    bool isLinked() override;
    bool isMissing() override;
    bool isLinkStale() override;
    bool isReadOnly() override;
    void setReadOnly(bool readOnly) override;
    void setRemoveOnClose(bool remove) override;
    bool remove() override;
    // addFlag(name, empty data, false, true) == OK, through the virtual addFlag: a class that
    // implements addFlag gets the shorthand with it.
    bool setFlag(const wchar_t* name) override;
    error_t addFlag(const wchar_t* name, bool replace, bool takeOver) override;
    error_t addFlag(const wchar_t* name, corekit2::sptr_t<IFlagData>& data, bool replace,
                    bool takeOver) override;
    // removeFlag(name, force) == OK, through the virtual removeFlag.
    bool clearFlag(const wchar_t* name, bool force) override;
    error_t removeFlag(const wchar_t* name, bool force) override;
    error_t ownFlag(const wchar_t* name) override;
    const wchar_t* getLinkFilePath() override;
    bool copy(const wchar_t* destination, bool renameMarker, notify2::IProgress* progress) override;
    bool move(const wchar_t* destination, bool renameMarker, notify2::IProgress* progress) override;
    std::wstring duplicate(const wchar_t* name) const override;
};

}  // namespace talvo2
