// The special members of the exported interfaces, defined once here so that their vtables and
// type information live in the library.

#include "talvo2/i_experiment.hpp"
#include "talvo2/i_flag_data.hpp"
#include "talvo2/i_node.hpp"
#include "talvo2/i_node_group.hpp"
#include "talvo2/i_path_iterator.hpp"
#include "talvo2/i_project.hpp"
#include "talvo2/i_result_directory.hpp"
#include "talvo2/i_search_directories.hpp"

#define TALVO2_INTERFACE_MEMBERS(Interface)                      \
    Interface::Interface() = default;                            \
    Interface::Interface(const Interface&) = default;            \
    Interface& Interface::operator=(const Interface&) = default; \
    Interface::~Interface() = default;

namespace talvo2 {

TALVO2_INTERFACE_MEMBERS(INode)
TALVO2_INTERFACE_MEMBERS(IResultDirectory)
TALVO2_INTERFACE_MEMBERS(IProject)
TALVO2_INTERFACE_MEMBERS(IExperiment)
TALVO2_INTERFACE_MEMBERS(INodeGroup)
TALVO2_INTERFACE_MEMBERS(IFlagData)
TALVO2_INTERFACE_MEMBERS(ISearchDirectories)
TALVO2_INTERFACE_MEMBERS(IPathIterator)

}  // namespace talvo2
