#include "node/node_removal.hpp"

#include <boost/filesystem.hpp>

#include "frame/last_error.hpp"
#include "frame/wide_path.hpp"
#include "node/node_fields.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

bool removeNodeFromDisk(Node::Fields& fields) {
    resetLastError();
    try {
        if (fields.memberGroup) {
            for (auto it = fields.memberGroup->getNodes(L"", 0); !it.at_end(); ++it)
                if (const corekit2::sptr_t<INode> member = *it) member->remove();
        }
        if (fs::is_directory(fs::symlink_status(fields.directory)))
            fs::remove_all(fields.directory);
        if (!fields.linkFilePath.empty()) fs::remove(toFsPath(fields.linkFilePath));
        return true;
    } catch (const boost::system::system_error& error) {
        return setLastError(systemErrorToError(error));
    } catch (const std::exception&) {
        return setLastError(OperationFailed);
    }
}

}  // namespace talvo2
