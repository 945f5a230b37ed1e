// Commands on groups of nodes: list, project, experiment, rm, prune.

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cctype>
#include <iomanip>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <set>

#include "cli.hpp"
#include "node_access.hpp"
#include "table.hpp"

namespace talvo_cli {

namespace {

using corekit2::sptr_t;
using nlohmann::json;

sptr_t<talvo2::INodeGroup> openGroup(const std::string& directory) {
    namespace fs = boost::filesystem;
    boost::system::error_code error;
    // A folder the library cannot read would list as empty; say so instead.
    if (fs::is_directory(directory, error)) {
        fs::directory_iterator probe(directory, error);
        if (error)
            throw CommandFailure(
                error == boost::system::errc::permission_denied ? kExitDenied : kExitDamaged,
                directory + ": cannot read the folder: " + error.message());
    }
    const std::wstring where = wide(directory);
    sptr_t<talvo2::INodeGroup> group = talvo2::INodeGroup::open(where.c_str());
    if (!group) fail(directory);
    return group;
}

// Warns of what a walk of the group's own folder meets that the group cannot show: subfolders
// it may not read (results below them go unlisted) and nodes it did not list.
void warnOfUnlistable(const std::string& directory, const std::set<std::string>& listed) {
    namespace fs = boost::filesystem;
    boost::system::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        boost::system::error_code inner;
        if (!fs::is_directory(fs::symlink_status(it->path(), inner))) continue;
        // Names that are not UTF-8 reach the listing in another spelling; the library lists them.
        if (!listed.count(it->path().string()) && validUtf8(it->path().filename().string()) &&
            !nodeKindAt(it->path().string()).empty()) {
            warn(it->path().string() +
                 ": a node the group does not list (its marker is not named after its folder)");
            continue;
        }
        fs::directory_iterator probe(it->path(), inner);
        if (inner == boost::system::errc::permission_denied)
            warn(it->path().string() + ": cannot read the folder; what it holds is not listed");
    }
}

// The group's members, each opened; a member that cannot be used is warned about and left out.
std::vector<sptr_t<talvo2::INode>> membersOf(talvo2::INodeGroup& group) {
    std::vector<sptr_t<talvo2::INode>> members;
    auto paths = group.getMemberPaths();
    for (const wchar_t* path = paths ? paths->next() : nullptr; path; path = paths->next()) {
        const std::string text = utf8(path);
        sptr_t<talvo2::INode> node;
        try {
            node = openAnyNode(text, true);
        } catch (const CommandFailure& failure) {
            warn(text + ": names no usable node (damaged, or its node is gone); not listed");
            continue;
        }
        if (utf8(node->getPath()).empty()) {
            warn(text + ": the link file names no usable node; not listed");
            continue;
        }
        members.push_back(node);
    }
    return members;
}

void runList(const std::string& directory, const Options& options) {
    sptr_t<talvo2::INodeGroup> group = openGroup(directory);
    json members = json::array();
    std::set<std::string> listed;
    for (const auto& node : membersOf(*group)) {
        members.push_back(summarize(node));
        listed.insert(utf8(node->getPath()));
    }
    warnOfUnlistable(utf8(group->getPath()), listed);
    if (options.json) {
        printJson({{"group", utf8(group->getPath())}, {"members", members}});
    } else {
        Table table(
            {{"KIND", 10}, {"NAME", 32}, {"CREATED", 0}, {"FINAL", 0}, {"VALID", 0}, {"SIZE", 0}});
        for (const json& m : members) {
            const auto yesNo = [&m](const char* key) -> std::string {
                return m.contains(key) ? (m[key].get<bool>() ? "yes" : "no") : "-";
            };
            table.add({m["kind"], m["name"], m["created"]["text"], yesNo("finalized"),
                       yesNo("valid"), formatBytes(m["size"].get<double>())});
        }
        table.print(std::cout);
    }
    if (!warnings().empty())
        throw CommandFailure(kExitDamaged, "list " + directory + ": " +
                                               std::to_string(warnings().size()) +
                                               " entries damaged or unreadable (see the warnings)");
}

void printNode(const sptr_t<talvo2::INode>& node, const Options& options) {
    if (options.json) {
        printJson(summarize(node));
    } else if (!options.quiet) {
        std::cout << utf8(node->getPath()) << '\n';
    }
}

struct ContainerArgs {
    std::string path;
    std::string base;
    bool literal = false;
};

// --base names a group that must be there: the library would quietly create at the path alone.
// An experiment holds results only, never another experiment.
void checkBase(const std::string& what, const ContainerArgs& args, bool experiment) {
    if (args.base.empty()) return;
    if (!existsOnDisk(args.base))
        throw CommandFailure(kExitNotFound, what + ": --base " + args.base + ": no such folder",
                             "NotFound");
    const std::string kind = nodeKindAt(args.base);
    if (experiment && kind != "project" && !kind.empty())
        throw CommandFailure(kExitUsage, what + ": --base " + args.base + " is a " + kind +
                                             "; an experiment goes into a project or a folder");
    if (!experiment && kind == "result")
        throw CommandFailure(kExitUsage, what + ": --base " + args.base + " is a result");
}

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
                             what + " " + args.path + ": already a " + kind + "; nothing changed",
                             "AlreadyExists");
    // Inside an experiment's folder the new experiment would nest in it.
    if (what == "experiment create" && args.base.empty() &&
        nodeKindAt(boost::filesystem::absolute(target).parent_path().string()) == "experiment")
        throw CommandFailure(
            kExitUsage, what + " " + args.path + ": an experiment cannot be made inside another");
}

// The path to open: a pattern opens its newest match by number, as everywhere in this tool (the
// library would take the greatest name).
std::string openablePath(bool create, const ContainerArgs& args) {
    if (create || !args.base.empty() || existsOnDisk(args.path)) return args.path;
    const std::string newest = newestMatch(args.path);
    return newest.empty() ? args.path : newest;
}

void runProject(bool create, const ContainerArgs& args, const Options& options) {
    const std::string what = std::string(create ? "project create " : "project open ") + args.path;
    checkBase(what, args, false);
    if (create) refuseExistingNode("project create", args);
    const std::wstring path = wide(openablePath(create, args));
    const std::wstring base = wide(args.base);
    const wchar_t* baseArg = args.base.empty() ? nullptr : base.c_str();
    sptr_t<talvo2::IProject> project = create
                                           ? talvo2::IProject::create(path.c_str(), baseArg, false)
                                           : talvo2::IProject::open(path.c_str(), baseArg);
    if (!project) fail(what);
    printNode(project, options);
}

void runExperiment(bool create, const ContainerArgs& args, const Options& options) {
    const std::string what =
        std::string(create ? "experiment create " : "experiment open ") + args.path;
    checkBase(what, args, true);
    const std::wstring path = wide(openablePath(create, args));
    const std::wstring base = wide(args.base);
    const wchar_t* baseArg = args.base.empty() ? nullptr : base.c_str();
    sptr_t<talvo2::IExperiment> experiment;
    if (create) {
        refuseExistingNode("experiment create", args);
        experiment = talvo2::IExperiment::create(path.c_str(), baseArg);
    } else {
        experiment = talvo2::IExperiment::open(path.c_str(), baseArg);
    }
    if (!experiment) fail(what);
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

struct RemoveArgs {
    std::string path;
    bool literal = false;
    bool force = false;
};

void runRemove(const RemoveArgs& args, const Options& options) {
    refuseStrayMarker(args.path);
    sptr_t<talvo2::INode> node = openAnyNode(args.path, args.literal);
    const std::string removed = utf8(node->getPath());
    const std::string kind = kindOf(node);
    // A project or experiment takes its members with it: as with rm -r, only when asked.
    if (kind != "result" && !args.force) {
        const auto group = node->getNodeGroup();
        if (group && !group->isEmpty())
            throw CommandFailure(kExitFailed,
                                 "rm " + args.path + ": " +
                                     (kind == "project" ? "a project" : "an experiment") +
                                     " with members; add --force to delete it and "
                                     "everything in it");
    }
    if (options.dryRun) {
        if (options.json) {
            printJson({{"removed", json::array({removed})}, {"dryRun", true}});
        } else if (!options.quiet) {
            std::cout << "would remove " << kind << " " << removed << '\n';
        }
        return;
    }
    if (!node->remove()) fail("rm " + args.path);
    if (options.json) printJson({{"removed", json::array({removed})}, {"dryRun", false}});
}

struct PruneArgs {
    std::string directory;
    unsigned keep = 0;
    std::string pattern;
};

// Where a result stands in "newest first": its number, then its creation time.
struct Age {
    long long number = -1;  // -1: no number in the name
    long long created = 0;
    bool operator<(const Age& other) const {
        return number != other.number ? number < other.number : created < other.created;
    }
};

// The number in a member's folder name: the digits the pattern's "@" run stands for, or without
// a pattern the last run of digits. Nullopt when the name does not match the pattern.
std::optional<long long> numberIn(const std::string& name, const std::string& pattern) {
    constexpr long long kLargest = std::numeric_limits<long long>::max();
    if (!pattern.empty()) {
        if (pattern.find('@') == std::string::npos)
            return name == pattern ? std::optional<long long>(-1) : std::nullopt;
        const std::optional<NumberedName> numbered = NumberedName::parse(pattern);
        const std::optional<unsigned long long> number =
            numbered ? numbered->numberOf(name) : std::nullopt;
        if (!number) return std::nullopt;
        return *number > static_cast<unsigned long long>(kLargest)
                   ? kLargest
                   : static_cast<long long>(*number);
    }
    std::size_t end = name.size();
    while (end > 0 && !std::isdigit(static_cast<unsigned char>(name[end - 1]))) --end;
    std::size_t begin = end;
    while (begin > 0 && std::isdigit(static_cast<unsigned char>(name[begin - 1]))) --begin;
    if (begin == end) return -1;
    return end - begin > 18 ? kLargest : std::stoll(name.substr(begin, end - begin));
}

void runPrune(const PruneArgs& args, const Options& options) {
    sptr_t<talvo2::INodeGroup> group = openGroup(args.directory);
    // Results only: an experiment or project holds results of its own, and "all but the newest"
    // must never reach into one.
    std::vector<std::pair<Age, sptr_t<talvo2::INode>>> due;
    for (const auto& node : membersOf(*group)) {
        if (kindOf(node) != "result") continue;
        const auto number = numberIn(
            boost::filesystem::path(utf8(node->getPath())).filename().string(), args.pattern);
        if (number) due.push_back({Age{*number, node->getCreationTime()}, node});
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const auto& a, const auto& b) { return b.first < a.first; });
    json removed = json::array();
    json kept = json::array();
    json failed = json::array();
    for (std::size_t i = 0; i < due.size(); ++i) {
        const std::string path = utf8(due[i].second->getPath());
        if (i < args.keep) {
            kept.push_back(path);
        } else if (options.dryRun || due[i].second->remove()) {
            removed.push_back(path);
            if (!options.json && !options.quiet)
                std::cout << (options.dryRun ? "would remove " : "removed ") << path << '\n';
        } else {
            const talvo2::error_t why = talvo2::ResultDirectoryManager::getLastError();
            failed.push_back(
                {{"path", path}, {"code", errorName(why)}, {"message", errorMessage(why)}});
            warn(path + ": not removed: " + errorMessage(why));
        }
    }
    if (options.json)
        printJson({{"group", utf8(group->getPath())},
                   {"removed", removed},
                   {"kept", kept},
                   {"failed", failed},
                   {"dryRun", options.dryRun}});
    if (!failed.empty())
        throw CommandFailure(kExitFailed, "prune " + args.directory + ": " +
                                              std::to_string(failed.size()) +
                                              " members could not be removed");
}

}  // namespace

void addNodeCommands(CLI::App& app, Options& options) {
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
                                       create ? "Create a project (never over an existing node)"
                                              : "Open a project and print its path");
        cmd->add_option("path", project->path, "Directory, marker or pattern")->required();
        cmd->add_option("--base", project->base, "Look up or create inside this folder's group");
        cmd->callback([create, project, &options] { runProject(create, *project, options); });
    }

    auto experiment = std::make_shared<ContainerArgs>();
    CLI::App* experiments = app.add_subcommand("experiment", "Create or open an experiment");
    experiments->require_subcommand(1);
    for (const bool create : {true, false}) {
        cmd = experiments->add_subcommand(
            create ? "create" : "open",
            create ? "Create an experiment (never over an existing node, never in another)"
                   : "Open an experiment and print its path");
        cmd->add_option("path", experiment->path, "Directory or pattern")->required();
        cmd->add_option("--base", experiment->base,
                        "Inside this project's group (a relative path counts from there)");
        cmd->callback(
            [create, experiment, &options] { runExperiment(create, *experiment, options); });
    }

    auto rm = std::make_shared<RemoveArgs>();
    cmd = app.add_subcommand("rm", "Delete a result, experiment or project from disk");
    cmd->add_option("path", rm->path, "The node")->required();
    cmd->add_flag("--literal", rm->literal, "Take @ as an ordinary character");
    cmd->add_flag("--force", rm->force, "Delete a project or experiment together with its members");
    cmd->add_flag("--dry-run", options.dryRun, "Say what would be deleted; delete nothing");
    cmd->callback([rm, &options] { runRemove(*rm, options); });

    auto prune = std::make_shared<PruneArgs>();
    cmd = app.add_subcommand("prune",
                             "Delete all but the newest results of a group (newest: the highest "
                             "number, then the latest creation); experiments and projects stay");
    cmd->add_option("dir", prune->directory, "The group's directory")->required();
    cmd->add_option("--keep", prune->keep, "How many of the newest to keep")->required();
    cmd->add_option("--pattern", prune->pattern, "Only results matching this pattern (r@@@)");
    cmd->add_flag("--dry-run", options.dryRun, "Say what would be deleted; delete nothing");
    cmd->callback([prune, &options] { runPrune(*prune, options); });
}

}  // namespace talvo_cli
