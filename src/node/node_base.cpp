#include "talvo2/node_base.hpp"

#include <ctime>

#include "node/node_cast.hpp"
#include "propstore2/property_storage.hpp"
#include "talvo2/i_experiment.hpp"
#include "talvo2/i_flag_data.hpp"
#include "talvo2/i_node_group.hpp"
#include "talvo2/i_project.hpp"

namespace talvo2 {

NodeBase::NodeBase() = default;
NodeBase::NodeBase(const NodeBase&) = default;
NodeBase& NodeBase::operator=(const NodeBase&) = default;
NodeBase::~NodeBase() = default;

const wchar_t* NodeBase::getPath() {
    return nullptr;
}
const wchar_t* NodeBase::getMarkerFilePath() {
    return nullptr;
}
int64_t NodeBase::getSize() {
    return 0;
}
int32_t NodeBase::getFilesCount() {
    return 0;
}
bool NodeBase::changeMarkerFilePath(const wchar_t*) {
    return false;
}
const wchar_t* NodeBase::getUserVisibleName() {
    return nullptr;
}
bool NodeBase::changeUserVisibleName(const wchar_t*) {
    return false;
}
corekit2::sptr_t<INode> NodeBase::getParent() {
    return {};
}
bool NodeBase::setParent(const wchar_t*) {
    return false;
}
corekit2::sptr_t<INode> NodeBase::getProject() {
    return {};
}
corekit2::sptr_t<INodeGroup> NodeBase::getNodeGroup() {
    return {};
}
corekit2::sptr_t<propstore2::IPropertyStorage> NodeBase::getPropertyStorage() {
    return {};
}
bool NodeBase::save() {
    return false;
}
bool NodeBase::isModified() {
    return false;
}
int64_t NodeBase::getCreationTime() {
    return static_cast<int64_t>(std::time(nullptr));
}
corekit2::sptr_t<propstore2::IPropertyStorage> NodeBase::getTransientStorage() {
    return {};
}
bool NodeBase::isLinked() {
    return false;
}
bool NodeBase::isMissing() {
    return false;
}
bool NodeBase::isLinkStale() {
    return false;
}
bool NodeBase::isReadOnly() {
    return false;
}
void NodeBase::setReadOnly(bool) {}
void NodeBase::setRemoveOnClose(bool) {}
bool NodeBase::remove() {
    return false;
}

bool NodeBase::setFlag(const wchar_t* name) {
    corekit2::sptr_t<IFlagData> data;
    return addFlag(name, data, false, true) == OK;
}

error_t NodeBase::addFlag(const wchar_t*, bool, bool) {
    return NotImplemented;
}
error_t NodeBase::addFlag(const wchar_t*, corekit2::sptr_t<IFlagData>&, bool, bool) {
    return NotImplemented;
}

bool NodeBase::clearFlag(const wchar_t* name, bool force) {
    return removeFlag(name, force) == OK;
}

error_t NodeBase::removeFlag(const wchar_t*, bool) {
    return NotImplemented;
}
error_t NodeBase::ownFlag(const wchar_t*) {
    return NotImplemented;
}
const wchar_t* NodeBase::getLinkFilePath() {
    return nullptr;
}
bool NodeBase::copy(const wchar_t*, bool, notify2::IProgress*) {
    return false;
}
bool NodeBase::move(const wchar_t*, bool, notify2::IProgress*) {
    return false;
}
std::wstring NodeBase::duplicate(const wchar_t*) const {
    return std::wstring();
}

corekit2::sptr_t<IProject> IProject::cast(corekit2::sptr_t<INode> node) {
    return castNode<IProject>(std::move(node));
}

corekit2::sptr_t<IExperiment> IExperiment::cast(corekit2::sptr_t<INode> node) {
    return castNode<IExperiment>(std::move(node));
}

}  // namespace talvo2
