#include "node/node_relations.hpp"

#include "frame/disk_format.hpp"
#include "node/marker_files.hpp"
#include "talvo2/i_node_group.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo2 {

bool isLinkFilePath(const std::wstring& path) {
    const std::wstring extension = extensionOf(path);
    const std::wstring suffix = disk::kLinkSuffix;
    if (extension.size() <= disk::kLinkExtensionMinimum) return false;
    return ulib_2_18::equals_no_case(extension.substr(extension.size() - suffix.size()), suffix);
}

std::wstring memberGroupPath(INode& node) {
    const corekit2::sptr_t<INodeGroup> group = node.getNodeGroup();
    const wchar_t* path = group ? group->getPath() : nullptr;
    return path ? path : L"";
}

}  // namespace talvo2
