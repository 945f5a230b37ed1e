// Commands on single results: create, info, finalize, invalidate, diff.

#include <algorithm>
#include <boost/filesystem.hpp>
#include <iostream>
#include <map>
#include <memory>
#include <vector>

#include "cli.hpp"
#include "corekit2/host.hpp"
#include "node_access.hpp"

namespace talvo_cli {

namespace {

using corekit2::sptr_t;
using nlohmann::json;
using talvo2::IResultDirectory;

struct CreateArgs {
    std::string path = "r@@@";
    std::vector<std::string> variables;
    std::string base;
    bool literal = false;
    bool overwrite = false;
    bool force = false;
};

void runCreate(const CreateArgs& args, const Options& options) {
    talvo2::ResultVariableBag bag;
    for (const std::string& assignment : args.variables) {
        const std::size_t equals = assignment.find('=');
        if (equals == std::string::npos || equals == 0)
            throw CommandFailure(kExitUsage, "--var " + assignment + ": expected NAME=VALUE");
        bag.putVariable(wide(assignment.substr(0, equals)).c_str(),
                        corekit2::variant_t(wide(assignment.substr(equals + 1))));
    }
    // The library fills in {hostname} only among other variables; given alone it must still mean
    // this host, so it is given as one.
    const bool ownHostname =
        std::any_of(args.variables.begin(), args.variables.end(),
                    [](const std::string& v) { return v.rfind("hostname=", 0) == 0; });
    if (!ownHostname && args.path.find("{hostname}") != std::string::npos)
        bag.putVariable(L"hostname", corekit2::variant_t(corekit2::get_fq_host_name()));
    if (!args.base.empty() && !existsOnDisk(args.base))
        throw CommandFailure(kExitNotFound, "create: --base " + args.base + ": no such folder",
                             "NotFound");
    // --overwrite replaces a result, never a folder that is not one (a thesis, a project).
    const bool replacing = args.overwrite && existsOnDisk(args.path);
    if (replacing && !args.force && nodeKindAt(args.path) != "result")
        throw CommandFailure(kExitExists,
                             "create " + args.path +
                                 ": not a result, so --overwrite leaves it alone; add --force to "
                                 "replace it anyway",
                             "AlreadyExists");
    if (options.dryRun) {
        const std::string kind = replacing ? nodeKindAt(args.path) : "";
        if (options.json) {
            printJson({{"path", boost::filesystem::absolute(args.path).string()},
                       {"replaces", replacing},
                       {"dryRun", true}});
        } else if (!options.quiet) {
            std::cout << (replacing ? "would replace " + (kind.empty() ? "folder" : kind) + " "
                                    : "would create ")
                      << args.path << '\n';
        }
        return;
    }
    const std::wstring path = wide(args.path);
    const std::wstring base = wide(args.base);
    sptr_t<IResultDirectory> result = talvo2::ResultDirectoryManager::create(
        path.c_str(), args.overwrite, &bag.getVariables(), args.literal,
        args.base.empty() ? nullptr : base.c_str());
    if (!result) fail("create " + args.path);
    if (options.json) {
        printJson(summarize(result));
    } else if (!options.quiet) {
        std::cout << utf8(result->getPath()) << '\n';
    }
}

struct PathArgs {
    std::string path;
    bool literal = false;
    bool undo = false;
};

// A command that showed what it could of a damaged marker still did not do what was asked.
void failIfDamaged(const std::string& what) {
    if (!warnings().empty())
        throw CommandFailure(kExitDamaged, what + ": the marker could not be read",
                             "OperationFailed");
}

void runInfo(const PathArgs& args, const Options& options) {
    const json description = describe(openAnyNode(args.path, args.literal));
    if (options.json) {
        printJson(description);
    } else {
        printDescription(description);
    }
    failIfDamaged("info " + args.path);
}

void runFinalize(const PathArgs& args, const Options& options) {
    sptr_t<IResultDirectory> result = openResult(args.path, args.literal);
    failIfDamaged("finalize " + args.path);
    if (!args.undo) {
        // Finalizing is the last step of a run: its time goes into the metadata, the start kept
        // when a finalization step recorded one.
        if (result->getFinalizationTimeBegin() == 0) result->setFinalizationTimeBegin(1);
        result->setFinalizationTimeEnd(1);
        if (!result->save()) fail("finalize " + args.path);
    }
    if (!result->setFinalized(!args.undo)) fail("finalize " + args.path);
    if (options.json)
        printJson({{"path", utf8(result->getPath())},
                   {"finalized", !args.undo},
                   {"finalizationEnd", timeValue(result->getFinalizationTimeEnd())}});
}

void runInvalidate(const PathArgs& args, const Options& options) {
    sptr_t<IResultDirectory> result = openResult(args.path, args.literal);
    const std::string before = utf8(result->getPath());
    result->setInvalid();
    // A bad result moves aside to "<name>-bad" so that a new run can take its name.
    const std::string after = utf8(result->getPath());
    if (after == before) fail("invalidate " + args.path);
    if (options.json) {
        printJson({{"path", after}});
    } else if (!options.quiet) {
        std::cout << after << '\n';
    }
}

// The metadata entries in which two results differ, flattened to "key" / "key.sub" names.
std::map<std::string, std::pair<json, json>> differences(const json& a, const json& b) {
    std::map<std::string, std::pair<json, json>> out;
    const json flatA = a.flatten();
    const json flatB = b.flatten();
    for (const auto& [key, value] : flatA.items()) {
        const json other = flatB.contains(key) ? flatB[key] : json(nullptr);
        if (value != other && key.find("/seconds") == std::string::npos)
            out[key.substr(1)] = {value, other};
    }
    return out;
}

void printDifferences(IResultDirectory& a, IResultDirectory& b,
                      const std::map<std::string, std::pair<json, json>>& diff);

void runDiff(const std::string& first, const std::string& second, bool literal,
             const Options& options) {
    sptr_t<IResultDirectory> a;
    sptr_t<IResultDirectory> b;
    std::size_t matched = 0;
    const auto paths = talvo_front::comparedPaths(first, second, literal, matched);
    if (!paths)
        throw CommandFailure(kExitNotFound,
                             "diff " + first + ": " + std::to_string(matched) +
                                 " result(s) match; a comparison needs two",
                             "NotFound");
    const auto& [leftPath, rightPath] = *paths;
    const std::wstring left = wide(leftPath);
    const std::wstring right = wide(rightPath);
    if (!talvo2::ResultDirectoryManager::openForDiff(left.c_str(), right.c_str(), &a, &b, literal))
        fail("diff " + first + (second.empty() ? "" : " " + second));
    if (!a || !b) fail("diff: a result could not be opened");
    for (const auto& result : {a, b})
        if (markerDamaged(*result))
            warn(utf8(result->getMarkerFilePath()) +
                 ": the marker is damaged or unreadable; its metadata is unknown");
    if (!warnings().empty())
        throw CommandFailure(kExitDamaged, "diff: a marker could not be read; nothing compared",
                             "OperationFailed");
    const json metaA = metadataOf(*a);
    const json metaB = metadataOf(*b);
    const auto diff = differences(metaA, metaB);
    if (options.json) {
        json changes = json::object();
        for (const auto& [key, values] : diff) changes[key] = {values.first, values.second};
        printJson({{"first", summarize(a)}, {"second", summarize(b)}, {"differences", changes}});
    } else {
        printDifferences(*a, *b, diff);
    }
    // As diff(1): 1 when the two differ, so a script can branch on it.
    if (!diff.empty()) throw CommandFailure(kExitFailed, "");
}

void printDifferences(IResultDirectory& a, IResultDirectory& b,
                      const std::map<std::string, std::pair<json, json>>& diff) {
    std::cout << "first:  " << utf8(a.getPath()) << '\n' << "second: " << utf8(b.getPath()) << '\n';
    if (diff.empty()) std::cout << "no differences in the collection metadata\n";
    for (const auto& [key, values] : diff) {
        const auto text = [](const json& v) {
            return v.is_string() ? v.get<std::string>() : v.dump();
        };
        std::cout << "  " << key << ": " << text(values.first) << " -> " << text(values.second)
                  << '\n';
    }
}

}  // namespace

void addResultCommands(CLI::App& app, Options& options) {
    auto create = std::make_shared<CreateArgs>();
    CLI::App* cmd = app.add_subcommand("create", "Create a result directory and print its path");
    cmd->add_option("path", create->path,
                    "Directory, marker path or result-name pattern (default r@@@ here)");
    // One value per --var, so that a pattern after it stays the pattern.
    cmd->add_option("--var", create->variables, "NAME=VALUE for {NAME} in the pattern")
        ->allow_extra_args(false);
    cmd->add_option("--base", create->base, "Create inside this project's or experiment's group");
    cmd->add_flag("--literal", create->literal, "Take @ as an ordinary character");
    cmd->add_flag("--overwrite", create->overwrite, "Replace an existing result of the name");
    cmd->add_flag("--force", create->force,
                  "With --overwrite: replace whatever is there, even a folder that is no result");

    cmd->add_flag("--dry-run", options.dryRun, "Say what would be created or replaced");
    cmd->callback([create, &options] { runCreate(*create, options); });

    auto info = std::make_shared<PathArgs>();
    cmd = app.add_subcommand("info", "Show a result's, project's or experiment's metadata");
    cmd->add_option("path", info->path, "Directory, marker, link file or pattern")->required();
    cmd->add_flag("--literal", info->literal, "Take @ as an ordinary character");
    cmd->callback([info, &options] { runInfo(*info, options); });

    auto finalize = std::make_shared<PathArgs>();
    cmd = app.add_subcommand("finalize",
                             "Mark a result as finished collecting and record when it was");
    cmd->add_option("path", finalize->path, "The result")->required();
    cmd->add_flag("--undo", finalize->undo, "Remove the mark again");
    cmd->add_flag("--literal", finalize->literal, "Take @ as an ordinary character");
    cmd->callback([finalize, &options] { runFinalize(*finalize, options); });

    auto invalid = std::make_shared<PathArgs>();
    cmd = app.add_subcommand("invalidate", "Mark a result bad and move it aside to NAME-bad");
    cmd->add_option("path", invalid->path, "The result")->required();
    cmd->add_flag("--literal", invalid->literal, "Take @ as an ordinary character");
    cmd->callback([invalid, &options] { runInvalidate(*invalid, options); });

    struct DiffArgs {
        std::string first, second;
        bool literal = false;
    };
    auto diff = std::make_shared<DiffArgs>();
    cmd = app.add_subcommand("diff",
                             "Show which two results a comparison opens, and how their "
                             "metadata differ");
    cmd->add_option("first", diff->first, "A result or pattern")->required();
    cmd->add_option("second", diff->second,
                    "Another (default: the first again, which compares its newest two)");
    cmd->add_flag("--literal", diff->literal, "Take @ as an ordinary character");
    cmd->callback([diff, &options] { runDiff(diff->first, diff->second, diff->literal, options); });
}

}  // namespace talvo_cli
