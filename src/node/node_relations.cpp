#include "node/node_relations.hpp"

#include "node/marker_files.hpp"
#include "talvo2/i_node_group.hpp"
#include "talvo2/i_path_iterator.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo2 {

bool isLinkFilePath(const std::wstring& path) {
    const std::wstring extension = extensionOf(path);
    if (extension.size() <= 8) return false;
    return ulib_2_18::equals_no_case(extension.substr(extension.size() - 4), L"link");
}

std::wstring groupOutputDirectory(const std::wstring& groupPath) {
    const corekit2::sptr_t<INodeGroup> group = INodeGroup::open(groupPath.c_str());
    const wchar_t* output = group ? group->getOutputDirectory() : nullptr;
    return output ? output : L"";
}

std::wstring memberGroupPath(INode& node) {
    const corekit2::sptr_t<INodeGroup> group = node.getNodeGroup();
    const wchar_t* path = group ? group->getPath() : nullptr;
    return path ? path : L"";
}

}  // namespace talvo2
