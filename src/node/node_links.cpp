// Links place a node in a group whose directory does not hold it: the group's directory holds a
// link file naming the node's marker and the MD5 of the marker's head, and the node's bag records
// the link file as its backlink.

#include <boost/filesystem/path.hpp>
#include <mutex>

#include "frame/bag_files.hpp"
#include "frame/bag_values.hpp"
#include "frame/last_error.hpp"
#include "frame/wide_path.hpp"
#include "node/marker_files.hpp"
#include "node/node_fields.hpp"
#include "node/node_registry.hpp"
#include "platform/files.hpp"
#include "talvo2/node.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

// Whether two paths name the same directory, however they are written.
bool sameDirectory(const fs::path& a, const fs::path& b) {
    return platform::sameFile(a.native(), b.native());
}

}  // namespace

bool Node::readLinkFile(const std::wstring& linkPath, std::wstring& markerPath) {
    resetLastError();
    markerPath.clear();
    Fields& f = *m_fields;
    if (linkPath.empty()) return false;
    std::wstring link;
    try {
        link = normalizedAbsolute(linkPath);
    } catch (const std::exception&) {
        return setLastError(InvalidPath);
    }
    if (link == f.linkFilePath) return true;
    {
        const RegistryLock lock;
        NodeRegistry& registry = NodeRegistry::instance();
        if (!f.linkFilePath.empty()) registry.remove(f.linkFilePath);
        f.linkFilePath = link;
        registry.add(f.linkFilePath, this);
    }
    corekit2::variant_bag_t record;
    if (loadBagFile(f.linkFilePath, kLinkFileRoot, record) != OK)
        return setLastError(OperationFailed);
    const wchar_t* target = stringValue(&record, L"link");
    const wchar_t* digest = stringValue(&record, L"md5sum");
    if (target && digest) {
        markerPath = target;
        if (markerPath != f.markerFilePath) f.linkStale = true;
        if (f.markerDigest != digest) f.linkStale = true;
        f.markerDigest = digest;
    }
    return true;
}

void Node::updateLinks() {
    resetLastError();
    Fields& f = *m_fields;
    const RegistryLock lock;
    std::wstring wanted;
    if (f.parent) {
        const fs::path parentPath = toFsPath(f.parent->getPath());
        if (!sameDirectory(f.directory.parent_path(), parentPath))
            wanted = toWide(parentPath / toFsPath(fileNameOf(f.markerFilePath) + L"link"));
    }
    if (wanted == f.linkFilePath && !f.linkStale) return;

    // A stale link is replaced in place, and a link that moves is written before the old one
    // goes: a crash in between must not leave the node in no group at all.
    NodeRegistry& registry = NodeRegistry::instance();
    const std::wstring previous = f.linkFilePath;
    const auto dropPrevious = [&] {
        if (previous.empty() || previous == wanted) return;
        platform::removeFile(toFsPath(previous).native());
    };
    if (!previous.empty() && previous != wanted) registry.removeOwned(previous, this);
    f.linkFilePath = wanted;
    if (wanted.empty()) return dropPrevious();

    if (wanted != previous) registry.add(f.linkFilePath, this);
    corekit2::variant_bag_t link;
    link.put(L"link", corekit2::variant_t(f.markerFilePath));
    link.put(L"md5sum", corekit2::variant_t(f.markerDigest));
    const bool written = saveBagFile(f.linkFilePath, kLinkFileRoot, link) == OK;
    dropPrevious();
    if (!written) {
        setLastError(OperationFailed);
        return;
    }
    f.linkStale = false;
    if (corekit2::variant_bag_t* talvo = f.bag.get<corekit2::variant_bag_t>(L"talvo")) {
        talvo->put(L"backlink", corekit2::variant_t(f.linkFilePath));
        setLastError(saveBagFile(f.markerFilePath, nullptr, f.bag));
    }
}

}  // namespace talvo2
