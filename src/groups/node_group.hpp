#pragma once

#include <string>

#include "corekit2/object.hpp"
#include "frame/boundary.hpp"
#include "node/marker_files.hpp"
#include "node/member_group.hpp"
#include "talvo2/node.hpp"

namespace talvo2 {

// A directory seen as a container of nodes. A group owned by a project or experiment forwards
// its reference counting to the owner, so holding the group keeps the owner alive, and is
// destroyed by the owner; a group of a plain directory counts itself.
class NodeGroup final : public MemberGroup {
public:
    // `owner` may be null; an owned group is made and destroyed by its owner.
    NodeGroup(const std::wstring& path, Node* owner);

    uint32_t add_ref() override;
    uint32_t release() override;

    const wchar_t* getPath() override { return m_path.c_str(); }
    corekit2::sptr_t<IPathIterator> getMemberPaths() override;
    corekit2::generic_iterator_t<corekit2::sptr_t<INode>> getNodes(const wchar_t* pattern,
                                                                   uint32_t maxCount) override;
    corekit2::sptr_t<INode> openNode(const wchar_t* path) override;
    void removeNodes(const wchar_t* pattern, uint32_t keep) override;
    bool isEmpty() override;
    corekit2::sptr_t<IResultDirectory> createResultDirectory(
        const wchar_t* path, const corekit2::variant_bag_t* properties) override;
    corekit2::sptr_t<IResultDirectory> openResultDirectory(const wchar_t* path) override;
    corekit2::sptr_t<IExperiment> createExperiment(const wchar_t* path) override;
    corekit2::sptr_t<IExperiment> openExperiment(const wchar_t* path) override;
    corekit2::sptr_t<IProject> createProject(const wchar_t* path, bool removeOnClose) override;
    corekit2::sptr_t<IProject> openProject(const wchar_t* path) override;
    corekit2::sptr_t<INode> getNode() override;
    void setOutputDirectory(const wchar_t* directory) override;
    const wchar_t* getOutputDirectory() override;

    error_t follow(const std::wstring& directory) override;

private:
    // The member marker of `path` with one of `set`, opened with this group as group path.
    Result<corekit2::sptr_t<INode>> openMember(const wchar_t* path, const ExtensionSet& set);
    // openMember as the `View` of its kind: the exported open operations.
    template <class View>
    corekit2::sptr_t<View> openKind(const wchar_t* path, const ExtensionSet& set);
    // Makes `directory` the output directory, recorded in the owner's marker when it has the
    // library's section: OK, or OperationFailed when that save fails.
    error_t recordOutputDirectory(const std::wstring& directory);

    corekit2::mt_ref_count_impl_t m_refs;
    std::wstring m_path;
    Node* m_owner;
    std::wstring m_outputDirectory;
};

}  // namespace talvo2
