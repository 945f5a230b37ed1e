#include "node/node_removal.hpp"

#include <boost/filesystem.hpp>

#include "frame/last_error.hpp"
#include "frame/wide_path.hpp"
#include "node/node_fields.hpp"
#include "platform/tree_walk.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

error_t deleteNodeFiles(Node::Fields& fields) {
    try {
        if (fields.memberGroup) {
            for (auto it = fields.memberGroup->getNodes(L"", 0); !it.at_end(); ++it)
                if (const corekit2::sptr_t<INode> member = *it) member->remove();
        }
        // The tree goes through directory descriptors: symbolic links inside, even ones swapped in
        // while the removal runs, are deleted themselves and never followed out of the tree. The
        // link file goes even when the tree could not: answer the first failure.
        // A directory already gone is the goal reached: removal still takes the link file.
        boost::system::error_code probe, link;
        error_t tree = OK;
        const fs::file_status status = fs::symlink_status(fields.directory, probe);
        if (status.type() == fs::file_not_found) probe.clear();
        if (fs::is_directory(status)) tree = platform::removeTree(fields.directory.native());
        if (!fields.linkFilePath.empty()) fs::remove(toFsPath(fields.linkFilePath), link);
        if (probe) return systemErrorToError(probe);
        if (tree != OK) return tree;
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
