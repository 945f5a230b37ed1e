// Commands on single results: create, info, finalize, invalidate, diff.

#include <iostream>
#include <map>
#include <memory>
#include <vector>

#include "cli.hpp"
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
    // --overwrite replaces a result, never a folder that is not one (a thesis, a project).
    if (args.overwrite && !args.force && existsOnDisk(args.path) &&
        nodeKindAt(args.path) != "result")
        throw CommandFailure(kExitExists, "create " + args.path +
                                              ": not a result, so --overwrite leaves it alone; "
                                              "add --force to replace it anyway");
    const std::wstring path = wide(args.path);
    const std::wstring base = wide(args.base);
    sptr_t<IResultDirectory> result = talvo2::ResultDirectoryManager::create(
        path.c_str(), args.overwrite, &bag.getVariables(), args.literal,
        args.base.empty() ? nullptr : base.c_str());
    if (!result) fail("create " + args.path);
    if (options.json) {
        printJson(summarize(result));
    } else {
        std::cout << utf8(result->getPath()) << '\n';
    }
}

void runInfo(const std::string& path, const Options& options) {
    const json description = describe(openAnyNode(path));
    if (options.json) {
        printJson(description);
    } else {
        printDescription(description);
    }
}

void runFinalize(const std::string& path, bool undo, const Options& options) {
    sptr_t<IResultDirectory> result = openResult(path);
    if (!result->setFinalized(!undo)) fail("finalize " + path);
    if (options.json) printJson({{"path", utf8(result->getPath())}, {"finalized", !undo}});
}

void runInvalidate(const std::string& path, const Options& options) {
    sptr_t<IResultDirectory> result = openResult(path);
    const std::string before = utf8(result->getPath());
    result->setInvalid();
    // A bad result moves aside to "<name>-bad" so that a new run can take its name.
    const std::string after = utf8(result->getPath());
    if (after == before) fail("invalidate " + path);
    if (options.json) {
        printJson({{"path", after}});
    } else {
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
    const std::wstring left = wide(first);
    const std::wstring right = wide(second.empty() ? first : second);
    if (!talvo2::ResultDirectoryManager::openForDiff(left.c_str(), right.c_str(), &a, &b, literal))
        fail("diff " + first + (second.empty() ? "" : " " + second));
    if (!a || !b) fail("diff: a result could not be opened");
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

void addResultCommands(CLI::App& app, const Options& options) {
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
    cmd->callback([create, &options] { runCreate(*create, options); });

    auto path = std::make_shared<std::string>();
    cmd = app.add_subcommand("info", "Show a result's, project's or experiment's metadata");
    cmd->add_option("path", *path, "Directory, marker, link file or pattern")->required();
    cmd->callback([path, &options] { runInfo(*path, options); });

    auto finalize = std::make_shared<std::pair<std::string, bool>>();
    cmd = app.add_subcommand("finalize", "Mark a result as finished collecting");
    cmd->add_option("path", finalize->first, "The result")->required();
    cmd->add_flag("--undo", finalize->second, "Remove the mark again");
    cmd->callback(
        [finalize, &options] { runFinalize(finalize->first, finalize->second, options); });

    auto invalid = std::make_shared<std::string>();
    cmd = app.add_subcommand("invalidate", "Mark a result bad and move it aside to NAME-bad");
    cmd->add_option("path", *invalid, "The result")->required();
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
