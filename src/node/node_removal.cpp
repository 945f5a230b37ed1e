#include "node/node_removal.hpp"

#include <boost/filesystem.hpp>

#include "frame/last_error.hpp"
#include "frame/wide_path.hpp"
#include "node/node_fields.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

error_t deleteNodeFiles(Node::Fields& fields) {
    try {
        if (fields.memberGroup) {
            for (auto it = fields.memberGroup->getNodes(L"", 0); !it.at_end(); ++it)
                if (const corekit2::sptr_t<INode> member = *it) member->remove();
        }
        // remove_all deletes symbolic links themselves, never what they point to. The link file
        // goes even when the tree could not: answer the first failure.
        boost::system::error_code tree, link;
        if (fs::is_directory(fs::symlink_status(fields.directory, tree)))
            fs::remove_all(fields.directory, tree);
        if (!fields.linkFilePath.empty()) fs::remove(toFsPath(fields.linkFilePath), link);
        if (tree) return systemErrorToError(tree);
        if (link) return systemErrorToError(link);
        return OK;
    } catch (const boost::system::system_error& error) {
        return systemErrorToError(error);
    } catch (const std::exception&) {
        return OperationFailed;
    }
}

bool removeNodeFromDisk(Node::Fields& fields) {
    resetLastError();
    return setLastError(deleteNodeFiles(fields));
}

}  // namespace talvo2
