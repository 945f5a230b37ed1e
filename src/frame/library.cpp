// What happens when the library is loaded and unloaded. Loading touches no file: it only prepares
// process-wide state, so that the first call from any thread finds it ready.

#include "frame/extension_table.hpp"
#include "frame/last_error.hpp"
#include "frame/logger.hpp"
#include "groups/container_node.hpp"
#include "node/node_opener.hpp"
#include "results/result_directory.hpp"
#include "tracelog_1/tracelog.hpp"

namespace talvo2 {

namespace {

class LibraryLifetime {
public:
    LibraryLifetime() {
        initLastError();
        ExtensionTable::instance();
        tracelog_1::configureComponentLogger("talvo");
        logger();
        setNodeFactory(NodeKind::Result, &ResultDirectory::make);
        setNodeFactory(NodeKind::Project, &Project::make);
        setNodeFactory(NodeKind::Experiment, &Experiment::make);
    }
};

const LibraryLifetime lifetime;

}  // namespace

}  // namespace talvo2
