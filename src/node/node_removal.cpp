#include "node/node_removal.hpp"

#include "frame/wide_path.hpp"
#include "node/node_state.hpp"
#include "platform/files.hpp"
#include "platform/tree_walk.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

error_t deleteNodeFiles(Node::Fields& fields) {
    {
        if (fields.memberGroup) {
            for (auto it = fields.memberGroup->getNodes(L"", 0); !it.at_end(); ++it)
                if (const corekit2::sptr_t<INode> member = *it)
                    if (auto* node = dynamic_cast<Node*>(member.get())) removeNode(*node);
        }
        // The tree goes through directory descriptors: symbolic links inside, even ones swapped in
        // while the removal runs, are deleted themselves and never followed out of the tree. The
        // link file goes even when the tree could not: answer the first failure.
        // A directory already gone is the goal reached: removal still takes the link file.
        platform::FileInfo info;
        const platform::Status probe =
            platform::fileSystem().status(nullptr, fields.directory.native(), false, info);
        error_t tree = OK;
        if (probe && info.type == platform::FileType::Directory)
            tree = platform::removeTree(fields.directory.native());
        platform::Status link;
        if (!fields.linkFilePath.empty())
            link = platform::removeFile(toFsPath(fields.linkFilePath).native());
        if (!probe && !probe.missing()) return probe.error();
        if (tree != OK) return tree;
        return link.error();
    }
}

error_t removeNode(Node& node) {
    Node::Fields& fields = fieldsOf(node);
    fields.removed = true;
    return deleteNodeFiles(fields);
}

}  // namespace talvo2
