#include "talvo2/names.hpp"

#include <boost/filesystem/path.hpp>
#include <cwchar>
#include <string>

#include "frame/boundary.hpp"
#include "frame/disk_format.hpp"
#include "frame/extension_table.hpp"
#include "frame/wide_path.hpp"
#include "platform/file_system.hpp"
#include "talvo2/i_result_directory.hpp"
#include "talvo2/result_directory_manager.hpp"

namespace talvo2 {

namespace {

const wchar_t* entry(ExtensionTable::entry_t which) {
    return ExtensionTable::instance().get(which);
}

}  // namespace

const wchar_t* getResultExtension(bool legacy) {
    return entry(legacy ? ExtensionTable::LegacyResult : ExtensionTable::Result);
}

const wchar_t* getProjectExtension(bool legacy) {
    return entry(legacy ? ExtensionTable::LegacyProject : ExtensionTable::Project);
}

const wchar_t* getExperimentExtension() {
    return entry(ExtensionTable::Experiment);
}
const wchar_t* getPackedExperimentExtension() {
    return entry(ExtensionTable::PackedExperiment);
}
const wchar_t* getFlagLockExtension() {
    return entry(ExtensionTable::FlagLock);
}
const wchar_t* getFlagInfoExtension() {
    return entry(ExtensionTable::FlagInfo);
}
const wchar_t* getCollectorDataDirectoryPrefix() {
    return disk::kDataPrefix;
}

bool isLegacyResultExtension(const std::wstring& ext) {
    return ext == entry(ExtensionTable::LegacyResult);
}

bool isLegacyProjectExtension(const std::wstring& ext) {
    return ext == entry(ExtensionTable::LegacyProject);
}

const wchar_t* ResultDirectoryManager::getDefaultResultDirectoryName() {
    return disk::kDefaultResultName;
}

bool ResultDirectoryManager::isReservedDirectoryName(const wchar_t* name) {
    if (!name) return false;
    for (const wchar_t* reserved : disk::kReservedNames)
        if (std::wcscmp(name, reserved) == 0) return true;
    return false;
}

std::wstring IResultDirectory::generateCollectorDataDirName(const std::wstring& directory) {
    return exported(std::wstring(), [&]() -> Reply<std::wstring> {
        const boost::filesystem::path base = toFsPath(directory);
        for (unsigned long n = 0;; ++n) {
            const std::wstring name = getCollectorDataDirectoryPrefix() + std::to_wstring(n);
            // Not following links: a dangling link still occupies its name (a directory made
            // later where it points would receive the collector's data). A name the file system
            // cannot answer for ends the search too; making it will tell.
            platform::FileInfo info;
            if (!platform::fileSystem().status(nullptr, (base / toFsPath(name)).native(), false,
                                               info))
                return {name, LastError::kept()};
        }
    });
}

}  // namespace talvo2
