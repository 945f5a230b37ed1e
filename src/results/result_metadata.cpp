// The collection metadata of results: the bag helpers, and the metadata operations of
// ResultDirectory, which are all one-line reads or writes through them.

#include "results/result_metadata.hpp"

#include <ctime>
#include <cwchar>

#include "frame/bag_values.hpp"
#include "frame/boundary.hpp"
#include "frame/disk_format.hpp"
#include "frame/wide_path.hpp"
#include "node/node_state.hpp"
#include "results/result_directory.hpp"
#include "talvo2/i_search_directories.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo2 {

namespace {

using corekit2::variant_bag_t;
using corekit2::variant_t;

constexpr wchar_t kUnknown[] = L"unknown";

// A metadata change is a change of the node like any other: save() is then due. Setters report
// nothing; the bag is unchanged when memory runs out.
void setText(Node::Fields& fields, const wchar_t* key, const wchar_t* text) {
    exportedVoid([&] {
        putMetadataText(fields.bag, key, text);
        fields.monitor.modified = true;
        return LastError::kept();
    });
}

void setTime(Node::Fields& fields, const wchar_t* key, long long time) {
    exportedVoid([&] {
        putMetadataTime(fields.bag, key, time);
        fields.monitor.modified = true;
        return LastError::kept();
    });
}

// A text answer that allocates: empty when memory runs out, the last error untouched otherwise.
template <class Make>
std::wstring text(Make make) {
    return exported(std::wstring(), [&]() -> Reply<std::wstring> {
        return {make(), LastError::kept()};
    });
}

}  // namespace

std::wstring metadataLogPath(const variant_bag_t& bag, const wchar_t* key,
                             const wchar_t* defaultName, const boost::filesystem::path& directory) {
    // Appended as stored, never resolved: an absolute name lands below the directory, and a name
    // that climbs ("../x.log") is returned as written. The library never opens these paths; a
    // caller that writes a log there decides what it trusts.
    boost::filesystem::path path = directory;
    path /= toFsPath(metadataText(bag, key, defaultName));
    return toWide(path.make_preferred());
}

const wchar_t* displayOsName(const wchar_t* os) {
    if (std::wcscmp(os, L"windows") == 0) return L"Windows*";
    if (std::wcscmp(os, L"linux") == 0) return L"Linux*";
    return os;
}

// ResultDirectory's metadata operations.

const wchar_t* ResultDirectory::getCreationHostName() const {
    return metadataText(fieldsOf(*this).bag, disk::kHostName, kUnknown);
}

const wchar_t* ResultDirectory::getCreationOs(bool display) const {
    const wchar_t* os = metadataText(fieldsOf(*this).bag, disk::kOs, kUnknown);
    return display ? displayOsName(os) : os;
}

SystemInfo::IsaExtensions ResultDirectory::getCreationIsa() const {
    const wchar_t* isa = metadataText(fieldsOf(*this).bag, disk::kIsa, nullptr);
    return exported(SystemInfo::ISA_NONE, [&]() -> Reply<SystemInfo::IsaExtensions> {
        return {
            isa ? SystemInfo::getIsaType(ulib_2_18::to_utf8(isa).c_str()) : SystemInfo::ISA_NONE,
            LastError::kept()};
    });
}

int ResultDirectory::getMpiRank() const {
    return static_cast<int>(metadataInteger(fieldsOf(*this).bag, disk::kMpiRank, -1));
}

const wchar_t* ResultDirectory::getCollectorCommand() const {
    return metadataText(fieldsOf(*this).bag, disk::kCollectionCommand, nullptr);
}

void ResultDirectory::setCollectorCommand(const wchar_t* command) {
    setText(fieldsOf(*this), disk::kCollectionCommand, command);
}

long long ResultDirectory::getCollectionTimeBegin() const {
    return metadataInteger(fieldsOf(*this).bag, disk::kCollectionTimeBegin, 0);
}

void ResultDirectory::setCollectionTimeBegin(long long time) {
    setTime(fieldsOf(*this), disk::kCollectionTimeBegin, time);
}

long long ResultDirectory::getCollectionTimeEnd() const {
    return metadataInteger(fieldsOf(*this).bag, disk::kCollectionTimeEnd, 0);
}

void ResultDirectory::setCollectionTimeEnd(long long time) {
    setTime(fieldsOf(*this), disk::kCollectionTimeEnd, time);
}

long long ResultDirectory::getFinalizationTimeBegin() const {
    return metadataInteger(fieldsOf(*this).bag, disk::kFinalizationTimeBegin, 0);
}

void ResultDirectory::setFinalizationTimeBegin(long long time) {
    setTime(fieldsOf(*this), disk::kFinalizationTimeBegin, time);
}

long long ResultDirectory::getFinalizationTimeEnd() const {
    return metadataInteger(fieldsOf(*this).bag, disk::kFinalizationTimeEnd, 0);
}

void ResultDirectory::setFinalizationTimeEnd(long long time) {
    setTime(fieldsOf(*this), disk::kFinalizationTimeEnd, time);
}

int ResultDirectory::getLogicalCPUCount() const {
    return static_cast<int>(metadataInteger(fieldsOf(*this).bag, disk::kLogicalCpuCount, 0));
}

int ResultDirectory::getProcessorCoreCount() const {
    return static_cast<int>(metadataInteger(fieldsOf(*this).bag, disk::kPhysicalCoreCount, 0));
}

int ResultDirectory::getProcessorPackageCount() const {
    return static_cast<int>(metadataInteger(fieldsOf(*this).bag, disk::kProcessorPackageCount, 0));
}

long long ResultDirectory::getCPUFrequency() const {
    return metadataInteger(fieldsOf(*this).bag, disk::kCpuFrequency, 0);
}

int ResultDirectory::getCPUFamily() const {
    return static_cast<int>(metadataInteger(fieldsOf(*this).bag, disk::kCpuFamily, 0));
}

int ResultDirectory::getCPUModel() const {
    return static_cast<int>(metadataInteger(fieldsOf(*this).bag, disk::kCpuModel, 0));
}

int ResultDirectory::getCPUStepping() const {
    return static_cast<int>(metadataInteger(fieldsOf(*this).bag, disk::kCpuStepping, 0));
}

SystemInfo::CPUType ResultDirectory::getCPUName() const {
    return SystemInfo::getCPUType(getCPUFamily(), getCPUModel());
}

std::wstring ResultDirectory::getCPUBrandName() const {
    return text([&] { return metadataText(fieldsOf(*this).bag, disk::kCpuBrandName, L""); });
}

std::wstring ResultDirectory::getApplicationLog() const {
    return text([&] {
        return metadataLogPath(fieldsOf(*this).bag, disk::kApplicationLog,
                               disk::kDefaultApplicationLog, fieldsOf(*this).directory);
    });
}

void ResultDirectory::setApplicationLog(const wchar_t* path) {
    setText(fieldsOf(*this), disk::kApplicationLog, path);
}

std::wstring ResultDirectory::getCollectorLog() const {
    return text([&] {
        return metadataLogPath(fieldsOf(*this).bag, disk::kCollectorLog, disk::kDefaultCollectorLog,
                               fieldsOf(*this).directory);
    });
}

void ResultDirectory::setCollectorLog(const wchar_t* path) {
    setText(fieldsOf(*this), disk::kCollectorLog, path);
}

std::wstring ResultDirectory::getCommandLog() const {
    return text([&] {
        return metadataLogPath(fieldsOf(*this).bag, disk::kCommandLog, disk::kDefaultCommandLog,
                               fieldsOf(*this).directory);
    });
}

void ResultDirectory::setCommandLog(const wchar_t* path) {
    setText(fieldsOf(*this), disk::kCommandLog, path);
}

corekit2::sptr_t<ISearchDirectories> ResultDirectory::getSearchDirectories() {
    return ISearchDirectories::create(fieldsOf(*this).path.c_str());
}

}  // namespace talvo2
