// Commands that copy data: export, copy, move. They show a progress bar on a terminal and stop
// cleanly on Ctrl-C.

#include <sys/statvfs.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstring>
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
    } else if (!options.quiet) {
        std::cout << path << '\n';
    }
}

// Whether `destination` lies inside `source` (or is it): a copy into itself would hold itself.
bool inside(const std::string& source, const std::string& destination) {
    namespace fs = boost::filesystem;
    boost::system::error_code error;
    const std::string to = fs::absolute(destination, error).lexically_normal().string() + "/";
    const std::string from = fs::absolute(source, error).lexically_normal().string() + "/";
    return to.compare(0, from.size(), from) == 0;
}

// What keeps a node from going to `destination`, in words, or "" when nothing visible does. The
// library only knows "a file-system operation failed"; people need to know which.
std::string obstacleAt(const std::string& source, const std::string& destination) {
    namespace fs = boost::filesystem;
    boost::system::error_code error;
    const fs::path target = fs::absolute(destination, error).lexically_normal();
    const fs::path from(source);
    const fs::path parent = target.parent_path();
    if (fs::exists(fs::symlink_status(target, error)))
        return destination + " is already there; choose a new name";
    if (!fs::is_directory(parent, error))
        return "the folder " + parent.string() + " does not exist";
    if (inside(from.string(), target.string())) return "a folder cannot go inside itself";
    if (::access(parent.c_str(), W_OK) != 0)
        return "cannot write into " + parent.string() + ": " + std::strerror(errno);
    struct statvfs disk {};
    if (::statvfs(parent.c_str(), &disk) == 0 && disk.f_blocks > 0 && disk.f_bavail == 0)
        return "the disk holding " + parent.string() + " is full";
    return "";
}

[[noreturn]] void failTransfer(const std::string& what, const std::string& source,
                               const std::string& destination) {
    const talvo2::error_t why = talvo2::ResultDirectoryManager::getLastError();
    const std::string obstacle = obstacleAt(source, destination);
    if (why == talvo2::FileError && !obstacle.empty())
        throw CommandFailure(kExitFailed, what + ": " + obstacle, errorName(why));
    fail(what, why);
}

[[noreturn]] void canceled(const std::string& what) {
    throw CommandFailure(kExitCanceled, what + ": canceled; nothing was left behind");
}

struct ExportArgs {
    std::string path;
    std::string target;
    std::vector<std::string> excludes;
    bool literal = false;
};

void runExport(const ExportArgs& args, const Options& options) {
    sptr_t<talvo2::IResultDirectory> result = openResult(args.path, args.literal);
    if (inside(utf8(result->getPath()), args.target))
        throw CommandFailure(kExitUsage, "export " + args.path + " to " + args.target +
                                             ": a folder cannot go inside itself");
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
    if (!exported)
        failTransfer("export " + args.path + " to " + args.target, utf8(result->getPath()),
                     args.target);
    report(utf8(exported->getPath()), options);
}

struct TransferArgs {
    std::string path;
    std::string destination;
    bool renameMarker = false;
    bool literal = false;
};

void runTransfer(bool move, const TransferArgs& args, const Options& options) {
    const std::string what = std::string(move ? "move " : "copy ") + args.path;
    sptr_t<talvo2::INode> node = openAnyNode(args.path, args.literal);
    const std::string source = utf8(node->getPath());
    // Never onto something that is there: the library refuses too, but only after work.
    if (existsOnDisk(args.destination))
        throw CommandFailure(kExitExists,
                             what + " to " + args.destination + ": " + args.destination +
                                 " is already there; choose a new name",
                             "AlreadyExists");
    if (inside(source, args.destination))
        throw CommandFailure(
            kExitUsage, what + " to " + args.destination + ": a folder cannot go inside itself");
    const std::wstring destination = wide(args.destination);
    ProgressBar bar;
    const bool done = move ? node->move(destination.c_str(), args.renameMarker, &bar)
                           : node->copy(destination.c_str(), args.renameMarker, &bar);
    if (!done && bar.isCanceled()) canceled(what);
    if (!done) failTransfer(what + " to " + args.destination, source, args.destination);
    // The node now stands for the new place.
    report(utf8(node->getPath()), options);
}

}  // namespace

void addTransferCommands(CLI::App& app, Options& options) {
    auto exportArgs = std::make_shared<ExportArgs>();
    CLI::App* cmd = app.add_subcommand(
        "export", "Copy a result into a new result directory with its own marker");
    cmd->add_option("path", exportArgs->path, "The result")->required();
    cmd->add_option("target", exportArgs->target, "New directory or pattern, such as out/r@@@")
        ->required();
    cmd->add_option("--exclude", exportArgs->excludes,
                    "Leave out names matching this mask (* and ?); repeatable")
        ->allow_extra_args(false);
    cmd->add_flag("--literal", exportArgs->literal, "Take @ in PATH as an ordinary character");
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
        cmd->add_flag("--literal", args->literal, "Take @ in PATH as an ordinary character");
        cmd->callback([move, args, &options] { runTransfer(move, *args, options); });
    }
}

}  // namespace talvo_cli
