// What happens when the library is loaded: the layers are put together here, at the top, so that
// none of them needs to know the ones above it. Loading touches no file: it only prepares
// process-wide state, so that the first call from any thread finds it ready.

#include "flags/flag_table.hpp"
#include "frame/boundary.hpp"
#include "frame/extension_table.hpp"
#include "frame/logger.hpp"
#include "groups/container_node.hpp"
#include "node/held_flags.hpp"
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
        setHeldFlagsMaker(&FlagTable::make);
    }
};

const LibraryLifetime lifetime;

}  // namespace

}  // namespace talvo2
