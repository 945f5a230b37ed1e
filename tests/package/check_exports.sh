#!/usr/bin/env bash
# Each library's dynamic symbol table holds only names of its own namespace, and libtalvo2's holds
# the whole public API and none of its internals.
set -u
status=0
fail() { echo "FAIL: $*"; status=1; }

check_namespace() {
    local lib=$1 ns=$2 foreign
    foreign=$(nm -DC --defined-only "$lib" | awk '{ $1=""; $2=""; sub(/^  /, ""); print }' |
        grep -vE "^((typeinfo|typeinfo name|vtable|VTT) for |(virtual|non-virtual) thunk to )?([a-z_:<>0-9, *&]+ )?${ns}::" || true)
    [[ -z $foreign ]] || fail "$(basename "$lib") exports names outside ${ns}::"$'\n'"$foreign"
}

talvo=$1
check_namespace "$talvo" talvo2
check_namespace "$2" corekit2
check_namespace "$3" propstore2
check_namespace "$4" ulib_2_18
check_namespace "$5" tracelog_1
check_namespace "$6" notify2
nm -DC --defined-only "$6" | grep -qF 'notify2::ambientProgress()' ||
    fail "libnotify2 does not export ambientProgress"

exported=$(nm -DC --defined-only "$talvo")
for name in 'talvo2::toString(talvo2::error_t)' 'talvo2::getResultExtension(bool)' \
    'talvo2::getProjectExtension(bool)' 'talvo2::getExperimentExtension()' \
    'talvo2::getPackedExperimentExtension()' 'talvo2::getFlagLockExtension()' \
    'talvo2::getFlagInfoExtension()' 'talvo2::getCollectorDataDirectoryPrefix()' \
    'talvo2::isLegacyResultExtension(' 'talvo2::isLegacyProjectExtension(' \
    'talvo2::ResultDirectoryManager::getLastError()' \
    'talvo2::ResultDirectoryManager::getDefaultResultDirectoryName()' \
    'talvo2::ResultDirectoryManager::isReservedDirectoryName(wchar_t const*)' \
    'talvo2::IResultDirectory::generateCollectorDataDirName(' \
    'talvo2::IResultDirectory::cast(' 'talvo2::IProject::cast(' 'talvo2::IExperiment::cast(' \
    'talvo2::Node::uid(' 'talvo2::Node::nodeCount()' 'talvo2::Node::handleCount()' \
    'talvo2::Node::reset()' 'talvo2::ISearchDirectories::create(wchar_t const*)' \
    'talvo2::ResultVariableBag::VAR_AT' 'talvo2::ResultVariableBag::VAR_MPIRANK' \
    'talvo2::ResultVariableBag::putVariable(' 'talvo2::NodeBase::setFlag(wchar_t const*)' \
    'talvo2::ResultDirectoryBase::isFinalized()' 'vtable for talvo2::NodeBase' \
    'typeinfo for talvo2::INodeGroup' 'typeinfo for talvo2::IPathIterator' \
    'typeinfo for talvo2::IFlagData' 'talvo2::ResultDirectoryManager::create(' \
    'talvo2::ResultDirectoryManager::open(' 'talvo2::ResultDirectoryManager::get(' \
    'talvo2::ResultDirectoryManager::getCurrentMpiRank()' 'talvo2::IResultDirectory::probe(' \
    'talvo2::ResultDirectoryManager::validateResultDirectoryPattern(' \
    'talvo2::ResultDirectoryManager::isPathPatterned(' 'talvo2::IProject::create(' \
    'talvo2::IProject::open(' 'talvo2::IProject::probe(' 'talvo2::IExperiment::create(' \
    'talvo2::IExperiment::open(' 'talvo2::IExperiment::probe(' 'talvo2::INodeGroup::open(' \
    'talvo2::INodeGroup::findProjects(' 'talvo2::ResultDirectoryManager::openForDiff(' \
    'talvo2::ResultDirectoryManager::openForImport(' 'talvo2::SystemInfo::SystemInfo()' \
    'talvo2::SystemInfo::getCPUType(int, int)' 'talvo2::SystemInfo::getIsaType(char const*)' \
    'talvo2::SystemInfo::cpuBrand() const' 'vtable for talvo2::SystemInfo'; do
    grep -qF " $name" <<<"$exported" || fail "libtalvo2 does not export $name"
done
for internal in setLastError resetLastError statusToError systemErrorToError ExtensionTable \
    toFsPath toWide LibraryLifetime 'talvo2::logger' 'talvo2::SearchDirectories' NodeRegistry \
    PropertyChangeMonitor locateMarkerFile tryCreateDirectory writeMarkerFile openNode \
    'talvo2::Node::bind' 'talvo2::Node::getPath' 'typeinfo for talvo2::Node$' findNodes \
    makeResultDirectory checkResultNamePattern parsePattern 'talvo2::ResultDirectory::' \
    'talvo2::ResultFiles' writeCreationMetadata FileLocker 'talvo2::platform' 'talvo2::FlagData' \
    releaseAllFlags 'talvo2::NodeGroup' 'talvo2::Project' 'talvo2::Experiment' \
    'talvo2::ContainerNode' 'talvo2::NodePathIterator' 'talvo2::ProjectPathIterator' \
    'talvo2::SystemRecord' 'talvo2::SystemSources' findIsaRow applyIsaPass copyTree \
    identifyFromCpuid parseBrandFrequency 'talvo2::countProcessors'; do
    grep -qE "$internal" <<<"$exported" && fail "libtalvo2 exports the internal $internal"
done
soname=$(readelf -d "$talvo" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[[ $soname == libtalvo2.so.2 ]] || fail "libtalvo2 has SONAME '$soname', not libtalvo2.so.2"
[[ $status == 0 ]] && echo "exports ok"
exit $status
