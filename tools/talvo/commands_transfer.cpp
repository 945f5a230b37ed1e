// Commands that copy data: export, copy, move. They show a progress bar on a terminal and stop
// cleanly on Ctrl-C.

#include <iostream>
#include <memory>
#include <vector>

#include "cli.hpp"
#include "node_access.hpp"
#include "notify2/ambient_progress.hpp"
#include "progress_bar.hpp"

namespace talvo_cli {

namespace {

using corekit2::sptr_t;

void report(const std::string& path, const Options& options) {
    if (options.json) {
        printJson({{"path", path}});
    } else {
        std::cout << path << '\n';
    }
}

[[noreturn]] void canceled(const std::string& what) {
    throw CommandFailure(kExitCanceled, what + ": canceled; nothing was left behind");
}

struct ExportArgs {
    std::string path;
    std::string target;
    std::vector<std::string> excludes;
};

void runExport(const ExportArgs& args, const Options& options) {
    sptr_t<talvo2::IResultDirectory> result = openResult(args.path);
    std::string masks;
    for (const std::string& mask : args.excludes) {
        if (mask.find('\n') != std::string::npos)
            throw CommandFailure(kExitUsage, "--exclude: a mask cannot hold a line feed");
        masks += mask + '\n';
    }
    const std::wstring target = wide(args.target);
    const std::wstring excludes = wide(masks);
    ProgressBar bar;
    sptr_t<talvo2::IResultDirectory> exported;
    {
        const notify2::ProgressScope scope(&bar);
        exported = result->exportTo(target.c_str(), excludes.c_str());
    }
    if (bar.isCanceled() && !exported) canceled("export " + args.path);
    if (!exported) fail("export " + args.path + " to " + args.target);
    report(utf8(exported->getPath()), options);
}

struct TransferArgs {
    std::string path;
    std::string destination;
    bool renameMarker = false;
};

void runTransfer(bool move, const TransferArgs& args, const Options& options) {
    const std::string what = std::string(move ? "move " : "copy ") + args.path;
    sptr_t<talvo2::INode> node = openAnyNode(args.path);
    const std::wstring destination = wide(args.destination);
    ProgressBar bar;
    const bool done = move ? node->move(destination.c_str(), args.renameMarker, &bar)
                           : node->copy(destination.c_str(), args.renameMarker, &bar);
    if (!done && bar.isCanceled()) canceled(what);
    if (!done) fail(what + " to " + args.destination);
    // The node now stands for the new place.
    report(utf8(node->getPath()), options);
}

}  // namespace

void addTransferCommands(CLI::App& app, const Options& options) {
    auto exportArgs = std::make_shared<ExportArgs>();
    CLI::App* cmd = app.add_subcommand(
        "export", "Copy a result into a new result directory with its own marker");
    cmd->add_option("path", exportArgs->path, "The result")->required();
    cmd->add_option("target", exportArgs->target, "New directory or pattern, such as out/r@@@")
        ->required();
    cmd->add_option("--exclude", exportArgs->excludes,
                    "Leave out names matching this mask (* and ?); repeatable")
        ->allow_extra_args(false);
    cmd->callback([exportArgs, &options] { runExport(*exportArgs, options); });

    for (const bool move : {false, true}) {
        auto args = std::make_shared<TransferArgs>();
        cmd = app.add_subcommand(move ? "move" : "copy",
                                 move ? "Move a node's directory to a new place"
                                      : "Copy a node's directory to a new place");
        cmd->add_option("path", args->path, "The node")->required();
        cmd->add_option("dest", args->destination, "The new directory (must not exist)")
            ->required();
        cmd->add_flag("--rename-marker", args->renameMarker,
                      "Name the marker file after the new directory");
        cmd->callback([move, args, &options] { runTransfer(move, *args, options); });
    }
}

}  // namespace talvo_cli
