// Commands on groups of nodes: list, project, experiment, rm, prune.

#include <boost/filesystem.hpp>
#include <cctype>
#include <iomanip>
#include <iostream>
#include <memory>

#include "cli.hpp"
#include "node_access.hpp"

namespace talvo_cli {

namespace {

using corekit2::sptr_t;
using nlohmann::json;

sptr_t<talvo2::INodeGroup> openGroup(const std::string& directory) {
    const std::wstring where = wide(directory);
    sptr_t<talvo2::INodeGroup> group = talvo2::INodeGroup::open(where.c_str());
    if (!group) fail(directory);
    return group;
}

void runList(const std::string& directory, const Options& options) {
    sptr_t<talvo2::INodeGroup> group = openGroup(directory);
    json members = json::array();
    for (auto it = group->getNodes(nullptr, 0); !it.at_end(); ++it) {
        if (sptr_t<talvo2::INode> node = it.current()) members.push_back(summarize(node));
    }
    if (options.json) {
        printJson({{"group", utf8(group->getPath())}, {"members", members}});
        return;
    }
    std::cout << std::left << std::setw(11) << "KIND" << std::setw(24) << "NAME" << std::setw(25)
              << "CREATED" << std::setw(7) << "FINAL" << std::setw(7) << "VALID"
              << "SIZE\n";
    for (const json& m : members) {
        const auto yesNo = [&m](const char* key) {
            return m.contains(key) ? (m[key].get<bool>() ? "yes" : "no") : "-";
        };
        std::cout << std::left << std::setw(11) << m["kind"].get<std::string>() << std::setw(24)
                  << m["name"].get<std::string>() << std::setw(25)
                  << m["created"]["text"].get<std::string>() << std::setw(7) << yesNo("finalized")
                  << std::setw(7) << yesNo("valid") << formatBytes(m["size"].get<double>()) << '\n';
    }
}

void printNode(const sptr_t<talvo2::INode>& node, const Options& options) {
    if (options.json) {
        printJson(summarize(node));
    } else {
        std::cout << utf8(node->getPath()) << '\n';
    }
}

struct ContainerArgs {
    std::string path;
    std::string base;
};

// Creating a project or experiment where a node already is would rewrite its marker (losing
// what it recorded) or turn a result into a project: an error, as for any existing target.
void refuseExistingNode(const std::string& what, const ContainerArgs& args) {
    boost::filesystem::path target(args.path);
    if (!args.base.empty() && target.is_relative()) {
        const sptr_t<talvo2::INodeGroup> group = talvo2::INodeGroup::open(wide(args.base).c_str());
        if (group && group->getOutputDirectory())
            target = boost::filesystem::path(utf8(group->getOutputDirectory())) / target;
    }
    const std::string kind = nodeKindAt(target.string());
    if (!kind.empty())
        throw CommandFailure(kExitExists,
                             what + " " + args.path + ": already a " + kind + "; nothing changed");
}

void runProject(bool create, const ContainerArgs& args, const Options& options) {
    if (create) refuseExistingNode("project create", args);
    const std::wstring path = wide(args.path);
    const std::wstring base = wide(args.base);
    const wchar_t* baseArg = args.base.empty() ? nullptr : base.c_str();
    sptr_t<talvo2::IProject> project = create
                                           ? talvo2::IProject::create(path.c_str(), baseArg, false)
                                           : talvo2::IProject::open(path.c_str(), baseArg);
    if (!project) fail(std::string(create ? "project create " : "project open ") + args.path);
    printNode(project, options);
}

void runExperiment(const ContainerArgs& args, const Options& options) {
    refuseExistingNode("experiment create", args);
    const std::wstring path = wide(args.path);
    const std::wstring base = wide(args.base);
    sptr_t<talvo2::IExperiment> experiment =
        talvo2::IExperiment::create(path.c_str(), args.base.empty() ? nullptr : base.c_str());
    if (!experiment) fail("experiment create " + args.path);
    printNode(experiment, options);
}

// A marker stands for the folder that holds it only when it carries the folder's name, as the
// library names markers when it creates, copies and moves nodes, or is a project's "config".
// Any other marker may merely have been copied into the folder, and deleting "its" node would
// delete the folder it happens to sit in. Link files are checked by the library itself.
void refuseStrayMarker(const std::string& path) {
    namespace fs = boost::filesystem;
    boost::system::error_code error;
    const fs::path given(path);
    if (!fs::is_regular_file(fs::symlink_status(given, error))) return;
    std::string extension = given.extension().string();
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension.size() > 8 && extension.compare(extension.size() - 4, 4, "link") == 0) return;
    const fs::path folder = fs::absolute(given, error).lexically_normal().parent_path();
    const std::string stem = given.stem().string();
    if (stem == folder.filename().string()) return;
    if (stem == "config" && talvo2::IProject::probe(wide(path).c_str())) return;
    throw CommandFailure(kExitFailed, "rm " + path + ": the marker is not named after its folder " +
                                          folder.string() +
                                          "; name the folder itself to delete it");
}

void runRemove(const std::string& path, const Options& options) {
    refuseStrayMarker(path);
    sptr_t<talvo2::INode> node = openAnyNode(path);
    const std::string removed = utf8(node->getPath());
    if (!node->remove()) fail("rm " + path);
    if (options.json) printJson({{"removed", removed}});
}

struct PruneArgs {
    std::string directory;
    unsigned keep = 0;
    std::string pattern;
};

void runPrune(const PruneArgs& args, const Options& options) {
    sptr_t<talvo2::INodeGroup> group = openGroup(args.directory);
    const auto count = [&group] {
        auto paths = group->getMemberPaths();
        return paths ? paths->getCount() : 0u;
    };
    const uint32_t before = count();
    const std::wstring pattern = wide(args.pattern);
    group->removeNodes(args.pattern.empty() ? nullptr : pattern.c_str(), args.keep);
    const uint32_t removed = before - std::min(before, count());
    if (options.json) {
        printJson({{"removed", removed}});
    } else {
        std::cout << "removed " << removed << (removed == 1 ? " member\n" : " members\n");
    }
}

}  // namespace

void addNodeCommands(CLI::App& app, const Options& options) {
    auto listDir = std::make_shared<std::string>(".");
    CLI::App* cmd =
        app.add_subcommand("list", "List the members of a project, experiment or folder");
    cmd->add_option("dir", *listDir, "The group's directory (default: here)");
    cmd->callback([listDir, &options] { runList(*listDir, options); });

    auto project = std::make_shared<ContainerArgs>();
    CLI::App* projects = app.add_subcommand("project", "Create or open a project");
    projects->require_subcommand(1);
    for (const bool create : {true, false}) {
        cmd = projects->add_subcommand(create ? "create" : "open",
                                       create ? "Create a project" : "Open a project");
        cmd->add_option("path", project->path, "Directory, marker or pattern")->required();
        cmd->callback([create, project, &options] { runProject(create, *project, options); });
    }

    auto experiment = std::make_shared<ContainerArgs>();
    CLI::App* experiments = app.add_subcommand("experiment", "Create an experiment");
    experiments->require_subcommand(1);
    cmd = experiments->add_subcommand("create", "Create an experiment");
    cmd->add_option("path", experiment->path, "Directory or pattern")->required();
    cmd->add_option("--base", experiment->base, "Create inside this project's group");
    cmd->callback([experiment, &options] { runExperiment(*experiment, options); });

    auto rm = std::make_shared<std::string>();
    cmd = app.add_subcommand("rm", "Delete a result, experiment or project from disk");
    cmd->add_option("path", *rm, "The node")->required();
    cmd->callback([rm, &options] { runRemove(*rm, options); });

    auto prune = std::make_shared<PruneArgs>();
    cmd = app.add_subcommand("prune", "Delete all but the newest members of a group");
    cmd->add_option("dir", prune->directory, "The group's directory")->required();
    cmd->add_option("--keep", prune->keep, "How many of the newest to keep")->required();
    cmd->add_option("--pattern", prune->pattern, "Only members matching this pattern (r@@@)");
    cmd->callback([prune, &options] { runPrune(*prune, options); });
}

}  // namespace talvo_cli
