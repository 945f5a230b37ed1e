#include "node_access.hpp"

#include <algorithm>
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

// The folder's name: the marker may carry another (a copy keeps its source's marker name), and
// a list must not show a moved copy as the result it came from.
std::string nameOf(INode& node) {
    return boost::filesystem::path(utf8(node.getPath())).filename().string();
}

std::string cpuText(const json& cpu) {
    std::ostringstream text;
    text << cpu["brand"].get<std::string>() << " (family " << cpu["family"] << ", model "
         << cpu["model"] << ", stepping " << cpu["stepping"] << ", type " << cpu["type"] << "); "
         << cpu["logicalCpus"] << " logical, " << cpu["cores"] << " cores, " << cpu["packages"]
         << " packages; " << std::fixed << std::setprecision(2)
         << cpu["frequencyHz"].get<long long>() / 1e9 << " GHz";
    return text.str();
}

}  // namespace

json timeValue(long long seconds) {
    return {{"seconds", seconds}, {"text", formatTime(seconds)}};
}

json cpuValue(const std::string& brand, int family, int model, int stepping, int type,
              long long frequencyHz, int logicalCpus, int cores, int packages) {
    return {{"brand", brand},
            {"family", family},
            {"model", model},
            {"stepping", stepping},
            {"type", type},
            {"frequencyHz", frequencyHz},
            {"logicalCpus", logicalCpus},
            {"cores", cores},
            {"packages", packages}};
}

void printFields(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::size_t width = 0;
    for (const auto& field : fields) width = std::max(width, field.first.size());
    for (const auto& [label, value] : fields)
        std::cout << label << ':' << std::string(width - label.size() + 2, ' ') << value << '\n';
}

bool markerDamaged(INode& node) {
    // Every marker the library writes keeps its own values in the "talvo" section.
    const auto storage = node.getPropertyStorage();
    return !storage || !storage->getSection(L"talvo", false);
}

namespace {

sptr_t<INode> openNode(const std::string& path, bool literal) {
    if (sptr_t<INode> node = talvo_front::openAnyKind(path, literal)) return node;
    const talvo2::error_t why = talvo2::ResultDirectoryManager::getLastError();
    if (why == talvo2::NotFound && !literal && path.find('@') != std::string::npos)
        fail(path, why, "a pattern needs a folder with results of its form; see talvo list");
    fail(path, why);
}

}  // namespace

sptr_t<INode> openAnyNode(const std::string& path, bool literal) {
    // A path that is there names itself: "run@home" is that folder, not a pattern that opens
    // run7home. A pattern opens its newest match by number.
    literal = literal || existsOnDisk(path);
    if (!literal) {
        const std::string newest = newestMatch(path);
        if (!newest.empty()) return openAnyNode(newest, true);
    }
    sptr_t<INode> node = openNode(path, literal);
    if (markerDamaged(*node))
        warn(utf8(node->getMarkerFilePath()) +
             ": the marker is damaged or unreadable; its metadata is unknown");
    return node;
}

sptr_t<IResultDirectory> openResult(const std::string& path, bool literal) {
    sptr_t<IResultDirectory> result = IResultDirectory::cast(openAnyNode(path, literal));
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
                    {"damaged", markerDamaged(*node)},
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
        // The stored name: the library's display form adds a trademark star meant for its GUI.
        {"os", utf8(result.getCreationOs(false))},
        {"isa", utf8(talvo2::SystemInfo::getIsaAbbreviationAsString(result.getCreationIsa()))},
        {"cpu",
         cpuValue(utf8(result.getCPUBrandName()), result.getCPUFamily(), result.getCPUModel(),
                  result.getCPUStepping(), static_cast<int>(result.getCPUName()),
                  result.getCPUFrequency(), result.getLogicalCPUCount(),
                  result.getProcessorCoreCount(), result.getProcessorPackageCount())},
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
    std::vector<std::pair<std::string, std::string>> fields;
    const auto line = [&fields](const std::string& label, const std::string& value) {
        fields.emplace_back(label, value);
    };
    line("path", d["path"]);
    line("kind", d["kind"]);
    line("marker", d["marker"]);
    line("created", d["created"]["text"]);
    if (d.contains("metadata")) {
        const json& m = d["metadata"];
        line("host", m["host"]);
        line("os", m["os"]);
        line("cpu", cpuText(m["cpu"]));
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
    printFields(fields);
}

}  // namespace talvo_cli
