#pragma once

// Projects and experiments: nodes that own the group of the members in their directory.

#include <string>

#include "frame/boundary.hpp"
#include "node/node_view.hpp"
#include "talvo2/i_experiment.hpp"
#include "talvo2/i_project.hpp"
#include "talvo2/node_base.hpp"

namespace talvo2 {

// The neutral bases of the two kinds; they add nothing to NodeBase.
class ProjectBase : public IProject, public NodeBase {};
class ExperimentBase : public IExperiment, public NodeBase {};

// What projects and experiments share: the member group over their directory, made with the
// node, and removal that takes the members first.
template <class Base>
class ContainerNode : public Node, public Base {
public:
    TALVO2_NODE_FORWARDS

    // The node factory of the kind: called by the node opener under the registry lock; `bound`
    // receives the binding's outcome.
    static Node* make(std::wstring& markerPath, const wchar_t* groupPath, error_t& bound);

    corekit2::sptr_t<INodeGroup> getNodeGroup() override;
    bool remove() override;
    // A new node of the same kind at `name` holding a copy of this one.
    std::wstring duplicate(const wchar_t* name) const override;

protected:
    ContainerNode(std::wstring& markerPath, const wchar_t* groupPath);
};

class Project final : public ContainerNode<ProjectBase> {
public:
    Project(std::wstring& markerPath, const wchar_t* groupPath)
        : ContainerNode(markerPath, groupPath) {}
};

class Experiment final : public ContainerNode<ExperimentBase> {
public:
    Experiment(std::wstring& markerPath, const wchar_t* groupPath)
        : ContainerNode(markerPath, groupPath) {}
};

// Creating and opening projects (`View` IProject) and experiments (IExperiment), as the exported
// factories and the node groups share them; none touches the last error. A project settles into
// a plain directory that is already there; an experiment answers AlreadyExists.
template <class View>
Result<corekit2::sptr_t<View>> createContainer(const wchar_t* path, const wchar_t* base);
template <class View>
Result<corekit2::sptr_t<View>> openContainer(const wchar_t* path, const wchar_t* base);

}  // namespace talvo2
