// sysinfo: what new results record about this machine.

#include <iomanip>
#include <iostream>

#include "cli.hpp"

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
    const json document = {{"brand", utf8(info.cpuBrand())},
                           {"family", info.cpuFamily()},
                           {"model", info.cpuModel()},
                           {"stepping", info.cpuStepping()},
                           {"type", static_cast<int>(info.cpuType())},
                           {"frequencyHz", info.cpuFrequency()},
                           {"logicalCpus", info.cpuCount()},
                           {"cores", info.processorCoreCount()},
                           {"packages", info.processorPackageCount()},
                           {"mmx", name(isa.mmxMax)},
                           {"sse", name(isa.sseMax)},
                           {"avx", name(isa.avxMax)},
                           {"maxVectorBits", info.getMaxVectorLength()},
                           {"mpiRank", talvo2::ResultDirectoryManager::getCurrentMpiRank()}};
    if (options.json) {
        printJson(document);
        return;
    }
    for (const auto& [key, value] : document.items()) {
        std::cout << std::left << std::setw(14) << key + ":"
                  << (value.is_string() ? value.get<std::string>()
                      : value.is_null() ? "-"
                                        : value.dump())
                  << '\n';
    }
}

}  // namespace

void addSystemCommands(CLI::App& app, const Options& options) {
    CLI::App* cmd =
        app.add_subcommand("sysinfo", "Show what new results record about this machine");
    cmd->callback([&options] { runSysinfo(options); });
}

}  // namespace talvo_cli
