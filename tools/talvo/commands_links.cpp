// Placing nodes in groups that do not hold their folders: link and unlink.

#include <boost/filesystem.hpp>
#include <iostream>
#include <memory>

#include "cli.hpp"
#include "node_access.hpp"

namespace talvo_cli {

namespace {

using corekit2::sptr_t;

struct LinkArgs {
    std::string path;
    std::string group;
    bool literal = false;
};

void report(const sptr_t<talvo2::INode>& node, const Options& options) {
    const std::string link = utf8(node->getLinkFilePath());
    if (options.json) {
        printJson({{"path", utf8(node->getPath())},
                   {"linked", node->isLinked()},
                   {"linkFile", link.empty() ? nlohmann::json(nullptr) : nlohmann::json(link)}});
    } else if (!options.quiet) {
        std::cout << (link.empty() ? utf8(node->getPath()) + ": not linked" : link) << '\n';
    }
}

void runLink(const LinkArgs& args, const Options& options) {
    sptr_t<talvo2::INode> node = openAnyNode(args.path, args.literal);
    const std::string kind = nodeKindAt(args.group);
    // A result goes into a project or an experiment, an experiment into a project only; the
    // library would quietly do nothing for a folder that is neither.
    if (kind != "project" && kind != "experiment")
        throw CommandFailure(kExitNotFound, "link " + args.path + ": " + args.group +
                                                " is not a project or experiment");
    if (kindOf(node) == "project" || (kindOf(node) == "experiment" && kind != "project"))
        throw CommandFailure(kExitUsage, "link " + args.path + ": a " + kindOf(node) +
                                             " cannot be placed in a " + kind);
    if (options.dryRun) {
        if (!options.quiet)
            std::cout << "would link " << args.path << " into " << args.group << '\n';
        return;
    }
    if (!node->setParent(wide(args.group).c_str()) ||
        talvo2::ResultDirectoryManager::getLastError() != talvo2::OK)
        fail("link " + args.path);
    report(node, options);
}

void runUnlink(const LinkArgs& args, const Options& options) {
    sptr_t<talvo2::INode> node = openAnyNode(args.path, args.literal);
    if (!node->isLinked())
        throw CommandFailure(kExitNotFound, "unlink " + args.path + ": not linked");
    if (options.dryRun) {
        if (!options.quiet) std::cout << "would remove " << utf8(node->getLinkFilePath()) << '\n';
        return;
    }
    // The folder that holds the node becomes its group again; its link file goes.
    const std::string home = boost::filesystem::path(utf8(node->getPath())).parent_path().string();
    if (!node->setParent(wide(home).c_str()) ||
        talvo2::ResultDirectoryManager::getLastError() != talvo2::OK)
        fail("unlink " + args.path);
    report(node, options);
}

}  // namespace

void addLinkCommands(CLI::App& app, Options& options) {
    auto args = std::make_shared<LinkArgs>();
    CLI::App* cmd = app.add_subcommand(
        "link",
        "Place a result or experiment in a project's or experiment's group through a link "
        "file, leaving its folder where it is");
    cmd->add_option("path", args->path, "The node")->required();
    cmd->add_option("group", args->group, "The project or experiment")->required();
    cmd->add_flag("--literal", args->literal, "Take @ as an ordinary character");
    cmd->add_flag("--dry-run", options.dryRun, "Say what would change");
    cmd->callback([args, &options] { runLink(*args, options); });

    cmd = app.add_subcommand("unlink", "Take a linked node out of the group its link places it in");
    cmd->add_option("path", args->path, "The node")->required();
    cmd->add_flag("--literal", args->literal, "Take @ as an ordinary character");
    cmd->add_flag("--dry-run", options.dryRun, "Say what would change");
    cmd->callback([args, &options] { runUnlink(*args, options); });
}

}  // namespace talvo_cli
