#include "talvo2/result_directory_base.hpp"

#include <ctime>

#include "node/node_cast.hpp"
#include "talvo2/i_path_iterator.hpp"
#include "talvo2/i_search_directories.hpp"

namespace talvo2 {

namespace {

int64_t now() {
    return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace

ResultDirectoryBase::ResultDirectoryBase() = default;
ResultDirectoryBase::ResultDirectoryBase(const ResultDirectoryBase&) = default;
ResultDirectoryBase& ResultDirectoryBase::operator=(const ResultDirectoryBase&) = default;
ResultDirectoryBase::~ResultDirectoryBase() = default;

bool ResultDirectoryBase::isFinalized() {
    return false;
}
bool ResultDirectoryBase::setFinalized(bool) {
    return false;
}
bool ResultDirectoryBase::isValid() {
    return false;
}
void ResultDirectoryBase::setInvalid() {}
const wchar_t* ResultDirectoryBase::createCollectorDataDir() {
    return nullptr;
}
corekit2::sptr_t<IPathIterator> ResultDirectoryBase::getCollectorDataDirectories() {
    return {};
}
corekit2::sptr_t<IPathIterator> ResultDirectoryBase::getResultFiles(const wchar_t*) {
    return {};
}
const wchar_t* ResultDirectoryBase::getSubdir(standard_dir_t) {
    return nullptr;
}
const wchar_t* ResultDirectoryBase::getSubdir(const wchar_t*) {
    return nullptr;
}
corekit2::sptr_t<IResultDirectory> ResultDirectoryBase::exportTo(const wchar_t*, const wchar_t*) {
    return {};
}
const wchar_t* ResultDirectoryBase::getCreationHostName() const {
    return nullptr;
}
const wchar_t* ResultDirectoryBase::getCreationOs(bool) const {
    return nullptr;
}
SystemInfo::IsaExtensions ResultDirectoryBase::getCreationIsa() const {
    return SystemInfo::ISA_NONE;
}
int ResultDirectoryBase::getMpiRank() const {
    return 0;
}
const wchar_t* ResultDirectoryBase::getCollectorCommand() const {
    return nullptr;
}
void ResultDirectoryBase::setCollectorCommand(const wchar_t*) {}
long long ResultDirectoryBase::getCollectionTimeBegin() const {
    return now();
}
void ResultDirectoryBase::setCollectionTimeBegin(long long) {}
long long ResultDirectoryBase::getCollectionTimeEnd() const {
    return now();
}
void ResultDirectoryBase::setCollectionTimeEnd(long long) {}
long long ResultDirectoryBase::getFinalizationTimeBegin() const {
    return now();
}
void ResultDirectoryBase::setFinalizationTimeBegin(long long) {}
long long ResultDirectoryBase::getFinalizationTimeEnd() const {
    return now();
}
void ResultDirectoryBase::setFinalizationTimeEnd(long long) {}
int ResultDirectoryBase::getLogicalCPUCount() const {
    return 0;
}
int ResultDirectoryBase::getProcessorCoreCount() const {
    return 0;
}
int ResultDirectoryBase::getProcessorPackageCount() const {
    return 0;
}
long long ResultDirectoryBase::getCPUFrequency() const {
    return 0;
}
int ResultDirectoryBase::getCPUFamily() const {
    return 0;
}
int ResultDirectoryBase::getCPUModel() const {
    return 0;
}
int ResultDirectoryBase::getCPUStepping() const {
    return 0;
}
SystemInfo::CPUType ResultDirectoryBase::getCPUName() const {
    return SystemInfo::CPU_TYPE_UNKNOWN;
}
std::wstring ResultDirectoryBase::getCPUBrandName() const {
    return std::wstring();
}
std::wstring ResultDirectoryBase::getApplicationLog() const {
    return std::wstring();
}
void ResultDirectoryBase::setApplicationLog(const wchar_t*) {}
std::wstring ResultDirectoryBase::getCollectorLog() const {
    return std::wstring();
}
void ResultDirectoryBase::setCollectorLog(const wchar_t*) {}
std::wstring ResultDirectoryBase::getCommandLog() const {
    return std::wstring();
}
void ResultDirectoryBase::setCommandLog(const wchar_t*) {}
corekit2::sptr_t<ISearchDirectories> ResultDirectoryBase::getSearchDirectories() {
    return {};
}

corekit2::sptr_t<IResultDirectory> IResultDirectory::cast(corekit2::sptr_t<INode> node) {
    return castNode<IResultDirectory>(std::move(node));
}

}  // namespace talvo2
