// sysinfo: what new results record about this machine. doctor: what crashes left in a tree.

#include <boost/filesystem.hpp>
#include <iomanip>
#include <iostream>

#include "cli.hpp"
#include "corekit2/host.hpp"
#include "node_access.hpp"

namespace talvo_cli {

namespace {

using nlohmann::json;
using talvo2::SystemInfo;

void runSysinfo(const Options& options) {
    const SystemInfo info;
    const SystemInfo::IsaInfo isa = info.getIsa();
    const auto name = [](SystemInfo::IsaExtensions value) {
        const char* text = SystemInfo::getIsaAbbreviation(value);
        return text ? json(text) : json(nullptr);
    };
    const int rank = talvo2::ResultDirectoryManager::getCurrentMpiRank();
    const json document = {
        {"host", utf8(corekit2::get_fq_host_name())},
        {"cpu", cpuValue(utf8(info.cpuBrand()), info.cpuFamily(), info.cpuModel(),
                         info.cpuStepping(), static_cast<int>(info.cpuType()), info.cpuFrequency(),
                         info.cpuCount(), info.processorCoreCount(), info.processorPackageCount())},
        {"isa",
         {{"mmx", name(isa.mmxMax)},
          {"sse", name(isa.sseMax)},
          {"avx", name(isa.avxMax)},
          {"maxVectorBits", info.getMaxVectorLength()}}},
        {"mpiRank", rank >= 0 ? json(rank) : json(nullptr)}};
    if (options.json) {
        printJson(document);
        return;
    }
    const json& cpu = document["cpu"];
    const auto text = [](const json& value) {
        return value.is_string() ? value.get<std::string>() : value.is_null() ? "-" : value.dump();
    };
    printFields({{"host", text(document["host"])},
                 {"cpu", text(cpu["brand"]) + " (family " + text(cpu["family"]) + ", model " +
                             text(cpu["model"]) + ", stepping " + text(cpu["stepping"]) +
                             ", type " + text(cpu["type"]) + ")"},
                 {"cpus", text(cpu["logicalCpus"]) + " logical, " + text(cpu["cores"]) +
                              " cores, " + text(cpu["packages"]) + " packages"},
                 {"frequency", text(cpu["frequencyHz"]) + " Hz"},
                 {"isa", text(document["isa"]["mmx"]) + ", " + text(document["isa"]["sse"]) + ", " +
                             text(document["isa"]["avx"])},
                 {"vector bits", text(document["isa"]["maxVectorBits"])},
                 {"mpi rank", text(document["mpiRank"])}});
}

struct Kind {
    const char* key;
    const char* what;
};

Kind kindOf(talvo2::finding_t kind) {
    switch (kind) {
        case talvo2::FINDING_STAGING:
            return {"staging", "a new node's staging directory, its maker gone"};
        case talvo2::FINDING_REMOVAL:
            return {"removal", "an unfinished removal, its remover gone"};
        case talvo2::FINDING_TEMPORARY:
            return {"temporary", "a temporary file, its writer gone"};
        case talvo2::FINDING_DEAD_FLAG:
            return {"dead-flag", "a flag whose holder is gone"};
        case talvo2::FINDING_DANGLING_LINK:
            return {"dangling-link", "a link file whose node is gone"};
        case talvo2::FINDING_STALE_LINK:
            return {"stale-link", "a link file its node does not name back"};
        case talvo2::FINDING_UNMARKED_NODE:
            return {"unmarked", "a result's files without a marker"};
    }
    return {"unknown", "unknown"};
}

void runDoctor(const Options& options, const std::string& root, bool fix) {
    std::vector<talvo2::TreeFinding> findings;
    if (!talvo2::checkTree(wide(root).c_str(), fix, findings)) fail("doctor " + root);
    std::size_t left = 0;
    json list = json::array();
    for (const talvo2::TreeFinding& finding : findings) {
        if (!finding.removed) ++left;
        const Kind kind = kindOf(finding.kind);
        list.push_back({{"kind", kind.key},
                        {"path", utf8(finding.path)},
                        {"removable", finding.removable},
                        {"removed", finding.removed}});
        if (options.json) continue;
        const char* action = finding.removed      ? "removed"
                             : !finding.removable ? "left alone: not provably garbage"
                             : fix                ? "could not be removed"
                                                  : "--fix removes it";
        std::cout << utf8(finding.path) << ": " << kind.what << " (" << action << ")\n";
    }
    if (options.json) {
        printJson({{"root", boost::filesystem::absolute(root).lexically_normal().string()},
                   {"findings", list},
                   {"left", left}});
    } else if (findings.empty()) {
        std::cout << "nothing to report\n";
    } else {
        std::cout << findings.size() << " found, " << findings.size() - left << " removed\n";
    }
    // As fsck: a tree with something left to look at is not a clean tree.
    if (left != 0) throw CommandFailure(kExitFailed, "");
}

}  // namespace

void addSystemCommands(CLI::App& app, Options& options) {
    CLI::App* cmd =
        app.add_subcommand("sysinfo", "Show what new results record about this machine");
    cmd->callback([&options] { runSysinfo(options); });

    static std::string root = ".";
    static bool fix = false;
    cmd = app.add_subcommand(
        "doctor",
        "Find what crashes left in a tree (staging directories, temporary files, unfinished "
        "removals, dead flags, broken links) and, with --fix, remove what is provably garbage");
    cmd->add_option("PATH", root, "The tree to look through (default: the current directory)");
    cmd->add_flag("--fix", fix, "Remove what is provably garbage; never anything else");
    cmd->callback([&options] { runDoctor(options, root, fix); });
}

}  // namespace talvo_cli
