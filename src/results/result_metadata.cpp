// The collection metadata of results: the bag helpers, and the metadata operations of
// ResultDirectory, which are all one-line reads or writes through them.

#include "results/result_metadata.hpp"

#include <ctime>
#include <cwchar>

#include "frame/bag_values.hpp"
#include "frame/wide_path.hpp"
#include "node/node_fields.hpp"
#include "results/result_directory.hpp"
#include "talvo2/i_search_directories.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo2 {

namespace {

using corekit2::variant_bag_t;
using corekit2::variant_t;

constexpr wchar_t kUnknown[] = L"unknown";

// A metadata change is a change of the node like any other: save() is then due.
void setText(Node::Fields& fields, const wchar_t* key, const wchar_t* text) {
    putMetadataText(fields.bag, key, text);
    fields.monitor.modified = true;
}

void setTime(Node::Fields& fields, const wchar_t* key, long long time) {
    putMetadataTime(fields.bag, key, time);
    fields.monitor.modified = true;
}

}  // namespace

const wchar_t* metadataText(const variant_bag_t& bag, const wchar_t* key, const wchar_t* fallback) {
    const variant_bag_t* talvo = talvoSection(bag);
    const wchar_t* text = talvo ? stringValue(talvo, key) : nullptr;
    return text ? text : fallback;
}

int64_t metadataInteger(const variant_bag_t& bag, const wchar_t* key, int64_t fallback) {
    const variant_bag_t* talvo = talvoSection(bag);
    if (!talvo) return fallback;
    const variant_t value = talvo->get_variant(key);
    switch (value.type()) {
        case corekit2::VT_INT32:
            return value.get_int32();
        case corekit2::VT_UINT32:
            return value.get_uint32();
        case corekit2::VT_INT64:
            return value.get_int64();
        case corekit2::VT_UINT64:
            return static_cast<int64_t>(value.get_uint64());
        default:
            return fallback;
    }
}

void putMetadata(variant_bag_t& bag, const wchar_t* key, variant_t value) {
    variant_bag_t* talvo = bag.get<variant_bag_t>(L"talvo");
    if (!talvo) talvo = bag.put(L"talvo", variant_bag_t());
    talvo->put(key, value);
}

void putMetadataText(variant_bag_t& bag, const wchar_t* key, const wchar_t* text) {
    putMetadata(bag, key, variant_t(std::wstring(text ? text : L"")));
}

void putMetadataTime(variant_bag_t& bag, const wchar_t* key, long long time) {
    if (time == 1) time = static_cast<long long>(std::time(nullptr));
    putMetadata(bag, key, variant_t(static_cast<uint64_t>(time)));
}

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
    return metadataText(fields().bag, L"hostname", kUnknown);
}

const wchar_t* ResultDirectory::getCreationOs(bool display) const {
    const wchar_t* os = metadataText(fields().bag, L"os", kUnknown);
    return display ? displayOsName(os) : os;
}

SystemInfo::IsaExtensions ResultDirectory::getCreationIsa() const {
    const wchar_t* isa = metadataText(fields().bag, L"isa", nullptr);
    return isa ? SystemInfo::getIsaType(ulib_2_18::to_utf8(isa).c_str()) : SystemInfo::ISA_NONE;
}

int ResultDirectory::getMpiRank() const {
    return static_cast<int>(metadataInteger(fields().bag, L"mpirank", -1));
}

const wchar_t* ResultDirectory::getCollectorCommand() const {
    return metadataText(fields().bag, L"collectionCommand", nullptr);
}

void ResultDirectory::setCollectorCommand(const wchar_t* command) {
    setText(fields(), L"collectionCommand", command);
}

long long ResultDirectory::getCollectionTimeBegin() const {
    return metadataInteger(fields().bag, L"collectionTimeBegin", 0);
}

void ResultDirectory::setCollectionTimeBegin(long long time) {
    setTime(fields(), L"collectionTimeBegin", time);
}

long long ResultDirectory::getCollectionTimeEnd() const {
    return metadataInteger(fields().bag, L"collectionTimeEnd", 0);
}

void ResultDirectory::setCollectionTimeEnd(long long time) {
    setTime(fields(), L"collectionTimeEnd", time);
}

long long ResultDirectory::getFinalizationTimeBegin() const {
    return metadataInteger(fields().bag, L"finalizationTimeBegin", 0);
}

void ResultDirectory::setFinalizationTimeBegin(long long time) {
    setTime(fields(), L"finalizationTimeBegin", time);
}

long long ResultDirectory::getFinalizationTimeEnd() const {
    return metadataInteger(fields().bag, L"finalizationTimeEnd", 0);
}

void ResultDirectory::setFinalizationTimeEnd(long long time) {
    setTime(fields(), L"finalizationTimeEnd", time);
}

int ResultDirectory::getLogicalCPUCount() const {
    return static_cast<int>(metadataInteger(fields().bag, L"logicalCPUCount", 0));
}

int ResultDirectory::getProcessorCoreCount() const {
    return static_cast<int>(metadataInteger(fields().bag, L"physicalCoreCount", 0));
}

int ResultDirectory::getProcessorPackageCount() const {
    return static_cast<int>(metadataInteger(fields().bag, L"processorPackageCount", 0));
}

long long ResultDirectory::getCPUFrequency() const {
    return metadataInteger(fields().bag, L"CPUFrequency", 0);
}

int ResultDirectory::getCPUFamily() const {
    return static_cast<int>(metadataInteger(fields().bag, L"CPUFamily", 0));
}

int ResultDirectory::getCPUModel() const {
    return static_cast<int>(metadataInteger(fields().bag, L"CPUModel", 0));
}

int ResultDirectory::getCPUStepping() const {
    return static_cast<int>(metadataInteger(fields().bag, L"CPUStepping", 0));
}

SystemInfo::CPUType ResultDirectory::getCPUName() const {
    return SystemInfo::getCPUType(getCPUFamily(), getCPUModel());
}

std::wstring ResultDirectory::getCPUBrandName() const {
    return metadataText(fields().bag, L"CPUBrandName", L"");
}

std::wstring ResultDirectory::getApplicationLog() const {
    return metadataLogPath(fields().bag, L"applicationLog", L"application.log", fields().directory);
}

void ResultDirectory::setApplicationLog(const wchar_t* path) {
    setText(fields(), L"applicationLog", path);
}

std::wstring ResultDirectory::getCollectorLog() const {
    return metadataLogPath(fields().bag, L"collectorLog", L"collector.log", fields().directory);
}

void ResultDirectory::setCollectorLog(const wchar_t* path) {
    setText(fields(), L"collectorLog", path);
}

std::wstring ResultDirectory::getCommandLog() const {
    return metadataLogPath(fields().bag, L"commandLog", L"command.log", fields().directory);
}

void ResultDirectory::setCommandLog(const wchar_t* path) {
    setText(fields(), L"commandLog", path);
}

corekit2::sptr_t<ISearchDirectories> ResultDirectory::getSearchDirectories() {
    return ISearchDirectories::create(fields().path.c_str());
}

}  // namespace talvo2
