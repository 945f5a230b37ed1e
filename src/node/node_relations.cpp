#include "node/node_relations.hpp"

#include <boost/filesystem.hpp>

#include "frame/wide_path.hpp"

#include "node/marker_files.hpp"
#include "talvo2/i_node_group.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo2 {

bool isLinkFilePath(const std::wstring& path) {
    const std::wstring extension = extensionOf(path);
    if (extension.size() <= 8) return false;
    return ulib_2_18::equals_no_case(extension.substr(extension.size() - 4), L"link");
}

corekit2::sptr_t<INode> openGroupOwner(const std::wstring& groupPath) {
    // Groups of projects and experiments are not built yet, so no directory has an owner.
    (void)groupPath;
    return {};
}

std::wstring groupOutputDirectory(const std::wstring& groupPath) {
    // Until projects and experiments own groups, every group is a plain directory, whose members
    // go into the directory itself.
    boost::system::error_code ec;
    return boost::filesystem::is_directory(toFsPath(groupPath), ec) ? groupPath : std::wstring();
}

std::wstring memberGroupPath(INode& node) {
    const corekit2::sptr_t<INodeGroup> group = node.getNodeGroup();
    const wchar_t* path = group ? group->getPath() : nullptr;
    return path ? path : L"";
}

}  // namespace talvo2
