#pragma once

#include <cstdint>

#include "corekit2/iterator.hpp"
#include "corekit2/object.hpp"
#include "corekit2/sptr.hpp"
#include "corekit2/variant_bag.hpp"
#include "talvo2/export.hpp"

namespace talvo2 {

class IExperiment;
class INode;
class IPathIterator;
class IProject;
class IResultDirectory;

// A directory seen as a container of nodes: its members are the result directories, experiments
// and projects found in it (and link files to such nodes). Every project and experiment owns the
// group of its own directory; a group of an owned directory lives and dies with its owner. Use a
// group from one thread at a time. The slot order is the binary interface.
class TALVO2_API INodeGroup : public corekit2::object_interface_t {
public:
    INodeGroup();
    INodeGroup(const INodeGroup&);
    INodeGroup& operator=(const INodeGroup&);
    ~INodeGroup() override;

    // The group's directory.
    virtual const wchar_t* getPath() = 0;
    // The marker paths of all members, in file-name order.
    virtual corekit2::sptr_t<IPathIterator> getMemberPaths() = 0;
    // The members matching `pattern` (null or "" for all, or a result-name pattern such as
    // r@@@); with `maxCount` above 0 only that many, those with the greatest names.
    virtual corekit2::generic_iterator_t<corekit2::sptr_t<INode>> getNodes(const wchar_t* pattern,
                                                                           uint32_t maxCount) = 0;
    // One member of an owned group, by path or name; empty for a group without owner.
    virtual corekit2::sptr_t<INode> openNode(const wchar_t* path) = 0;
    // Removes the members matching `pattern` except the `keep` with the greatest names.
    virtual void removeNodes(const wchar_t* pattern, uint32_t keep) = 0;
    virtual bool isEmpty() = 0;
    // Creates and opens members in the group's output directory.
    virtual corekit2::sptr_t<IResultDirectory> createResultDirectory(
        const wchar_t* path, const corekit2::variant_bag_t* properties) = 0;
    virtual corekit2::sptr_t<IResultDirectory> openResultDirectory(const wchar_t* path) = 0;
    virtual corekit2::sptr_t<IExperiment> createExperiment(const wchar_t* path) = 0;
    virtual corekit2::sptr_t<IExperiment> openExperiment(const wchar_t* path) = 0;
    virtual corekit2::sptr_t<IProject> createProject(const wchar_t* path, bool removeOnClose) = 0;
    virtual corekit2::sptr_t<IProject> openProject(const wchar_t* path) = 0;
    // The owning project or experiment; empty for a group without owner.
    virtual corekit2::sptr_t<INode> getNode() = 0;
    // Where new members go; for an owned group the choice is recorded in the owner's marker.
    virtual void setOutputDirectory(const wchar_t* directory) = 0;
    virtual const wchar_t* getOutputDirectory() = 0;

    // The group of the project or experiment that `path` names (directory, marker or link), or a
    // new group of the plain directory `path` (two opens give two objects); empty with NotFound
    // when it is neither (InvalidPath for null).
    static corekit2::sptr_t<INodeGroup> open(const wchar_t* path);

    // The project markers found directly in `directory` (a project directory, a project marker
    // or a project link file each count), in listing order. A directory that cannot be read ends
    // the listing with its mapped error as last error. Never empty; null gives no paths.
    static corekit2::sptr_t<IPathIterator> findProjects(const wchar_t* directory);
};

}  // namespace talvo2
