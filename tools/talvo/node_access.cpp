#include "node_access.hpp"

#include <boost/filesystem.hpp>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "cli.hpp"

namespace talvo_cli {

namespace {

using corekit2::sptr_t;
using nlohmann::json;
using talvo2::INode;
using talvo2::IResultDirectory;

std::string nameOf(INode& node) {
    const std::string visible = utf8(node.getUserVisibleName());
    if (!visible.empty()) return visible;
    return boost::filesystem::path(utf8(node.getPath())).filename().string();
}

json timeValue(long long seconds) {
    return {{"seconds", seconds}, {"text", formatTime(seconds)}};
}

std::string cpuText(const json& m) {
    std::ostringstream text;
    text << m["cpuBrand"].get<std::string>() << " (family " << m["cpuFamily"] << ", model "
         << m["cpuModel"] << ", stepping " << m["cpuStepping"] << ", type " << m["cpuType"] << "); "
         << m["logicalCpus"] << " logical, " << m["cores"] << " cores, " << m["packages"]
         << " packages; " << std::fixed << std::setprecision(2)
         << m["cpuFrequencyHz"].get<long long>() / 1e9 << " GHz";
    return text.str();
}

}  // namespace

bool existsOnDisk(const std::string& path) {
    boost::system::error_code error;
    return boost::filesystem::exists(boost::filesystem::symlink_status(path, error));
}

std::string nodeKindAt(const std::string& path) {
    const std::wstring where = wide(path);
    if (talvo2::IProject::probe(where.c_str())) return "project";
    if (talvo2::IExperiment::probe(where.c_str())) return "experiment";
    if (IResultDirectory::probe(where.c_str())) return "result";
    return "";
}

// The newest node matching a result-name pattern with one run of "@" and no variables: the
// highest number, then the most recently changed folder. Numbers, not names: r1000 is newer than
// r999. Empty when the pattern is of another form (the library then decides) or nothing matches.
std::string newestMatch(const std::string& pattern) {
    namespace fs = boost::filesystem;
    const fs::path given(pattern);
    const std::string name = given.filename().string();
    const std::size_t at = name.find('@');
    if (at == std::string::npos || name.find('{') != std::string::npos) return "";
    const std::size_t end = name.find_first_not_of('@', at);
    const std::size_t width = (end == std::string::npos ? name.size() : end) - at;
    const std::string prefix = name.substr(0, at);
    const std::string suffix = end == std::string::npos ? "" : name.substr(end);
    if (suffix.find('@') != std::string::npos) return "";
    const fs::path parent = given.has_parent_path() ? given.parent_path() : fs::path(".");
    boost::system::error_code error;
    std::string best;
    unsigned long long bestNumber = 0;
    std::time_t bestTime = 0;
    for (fs::directory_iterator it(parent, error), stop; !error && it != stop;
         it.increment(error)) {
        const std::string entry = it->path().filename().string();
        if (entry.size() < prefix.size() + suffix.size() + width ||
            entry.compare(0, prefix.size(), prefix) != 0 ||
            entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string digits =
            entry.substr(prefix.size(), entry.size() - prefix.size() - suffix.size());
        if (digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        if (nodeKindAt(it->path().string()).empty()) continue;
        const unsigned long long number = std::stoull(digits);
        boost::system::error_code ignored;
        const std::time_t changed = fs::last_write_time(it->path(), ignored);
        if (best.empty() || number > bestNumber || (number == bestNumber && changed > bestTime)) {
            best = it->path().string();
            bestNumber = number;
            bestTime = changed;
        }
    }
    return best;
}

sptr_t<INode> openAnyNode(const std::string& path) {
    // A path that is there names itself: "run@home" is that folder, not a pattern that opens
    // run7home. A pattern opens its newest match by number.
    const bool literal = existsOnDisk(path);
    if (!literal) {
        const std::string newest = newestMatch(path);
        if (!newest.empty()) return openAnyNode(newest);
    }
    const std::wstring where = wide(path);
    if (talvo2::IProject::probe(where.c_str())) {
        if (auto project = talvo2::IProject::open(where.c_str(), nullptr)) return project;
    } else if (talvo2::IExperiment::probe(where.c_str())) {
        if (auto experiment = talvo2::IExperiment::open(where.c_str(), nullptr)) return experiment;
    } else if (auto result =
                   talvo2::ResultDirectoryManager::open(where.c_str(), literal, nullptr)) {
        return result;
    }
    fail(path);
}

sptr_t<IResultDirectory> openResult(const std::string& path) {
    sptr_t<IResultDirectory> result = IResultDirectory::cast(openAnyNode(path));
    if (!result) throw CommandFailure(kExitNotFound, path + ": not a result directory");
    return result;
}

std::string kindOf(const sptr_t<INode>& node) {
    if (IResultDirectory::cast(node)) return "result";
    if (talvo2::IProject::cast(node)) return "project";
    if (talvo2::IExperiment::cast(node)) return "experiment";
    return "node";
}

json summarize(const sptr_t<INode>& node) {
    json summary = {{"kind", kindOf(node)},
                    {"name", nameOf(*node)},
                    {"path", utf8(node->getPath())},
                    {"marker", utf8(node->getMarkerFilePath())},
                    {"created", timeValue(node->getCreationTime())},
                    {"size", node->getSize()},
                    {"files", node->getFilesCount()}};
    if (sptr_t<IResultDirectory> result = IResultDirectory::cast(node)) {
        summary["finalized"] = result->isFinalized();
        summary["valid"] = result->isValid();
    }
    return summary;
}

json metadataOf(IResultDirectory& result) {
    const int rank = result.getMpiRank();
    return {
        {"host", utf8(result.getCreationHostName())},
        {"os", utf8(result.getCreationOs(true))},
        {"isa", utf8(talvo2::SystemInfo::getIsaAbbreviationAsString(result.getCreationIsa()))},
        {"cpuBrand", utf8(result.getCPUBrandName())},
        {"cpuFamily", result.getCPUFamily()},
        {"cpuModel", result.getCPUModel()},
        {"cpuStepping", result.getCPUStepping()},
        {"cpuType", static_cast<int>(result.getCPUName())},
        {"cpuFrequencyHz", result.getCPUFrequency()},
        {"logicalCpus", result.getLogicalCPUCount()},
        {"cores", result.getProcessorCoreCount()},
        {"packages", result.getProcessorPackageCount()},
        {"mpiRank", rank >= 0 ? json(rank) : json(nullptr)},
        {"collectorCommand",
         result.getCollectorCommand() ? json(utf8(result.getCollectorCommand())) : json(nullptr)},
        {"collectionBegin", timeValue(result.getCollectionTimeBegin())},
        {"collectionEnd", timeValue(result.getCollectionTimeEnd())},
        {"finalizationBegin", timeValue(result.getFinalizationTimeBegin())},
        {"finalizationEnd", timeValue(result.getFinalizationTimeEnd())}};
}

json describe(const sptr_t<INode>& node) {
    json description = summarize(node);
    description["linked"] = node->isLinked();
    if (node->isLinked()) {
        description["linkFile"] = utf8(node->getLinkFilePath());
        description["linkStale"] = node->isLinkStale();
    }
    if (sptr_t<IResultDirectory> result = IResultDirectory::cast(node)) {
        description["metadata"] = metadataOf(*result);
        json directories = json::array();
        if (auto it = result->getCollectorDataDirectories()) {
            for (const wchar_t* dir = it->next(); dir; dir = it->next())
                directories.push_back(boost::filesystem::path(utf8(dir)).filename().string());
        }
        description["collectorData"] = directories;
    }
    return description;
}

void printDescription(const json& d) {
    const auto line = [](const std::string& label, const std::string& value) {
        std::cout << std::left << std::setw(14) << label + ":" << value << '\n';
    };
    line("path", d["path"]);
    line("kind", d["kind"]);
    line("marker", d["marker"]);
    line("created", d["created"]["text"]);
    if (d.contains("metadata")) {
        const json& m = d["metadata"];
        line("host", m["host"]);
        line("os", m["os"]);
        line("cpu", cpuText(m));
        line("isa", m["isa"].get<std::string>().empty() ? "-" : m["isa"].get<std::string>());
        line("mpi rank", m["mpiRank"].is_null() ? "-" : m["mpiRank"].dump());
        line("command", m["collectorCommand"].is_null() ? "-" : m["collectorCommand"]);
        line("collection", m["collectionBegin"]["text"].get<std::string>() + " .. " +
                               m["collectionEnd"]["text"].get<std::string>());
        line("finalization", m["finalizationBegin"]["text"].get<std::string>() + " .. " +
                                 m["finalizationEnd"]["text"].get<std::string>());
        line("finalized", d["finalized"] ? "yes" : "no");
        line("valid", d["valid"] ? "yes" : "no");
        std::string dirs;
        for (const json& dir : d["collectorData"])
            dirs += (dirs.empty() ? "" : ", ") + dir.get<std::string>();
        line("data dirs", dirs.empty() ? "-" : dirs);
    }
    line("size", formatBytes(d["size"].get<double>()) + " in " + d["files"].dump() + " files");
    if (!d["linked"]) {
        line("link", "not linked");
    } else {
        line("link", d["linkFile"].get<std::string>() + (d["linkStale"] ? " (stale)" : ""));
    }
}

}  // namespace talvo_cli
