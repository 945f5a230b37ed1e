#include "node/node_binding.hpp"

#include <boost/filesystem/path.hpp>
#include <mutex>

#include "frame/bag_files.hpp"
#include "frame/bag_values.hpp"
#include "frame/disk_format.hpp"
#include "frame/wide_path.hpp"
#include "node/marker_files.hpp"
#include "node/node_opener.hpp"
#include "node/node_registry.hpp"
#include "node/node_relations.hpp"
#include "node/node_state.hpp"
#include "platform/files.hpp"
#include "talvo2/names.hpp"
#include "ulib_2_18/text.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

bool isRegularFile(const std::wstring& path) {
    return platform::typeAt(toFsPath(path).native(), false) == platform::FileType::Regular;
}

// Takes the owner of the group at `groupPath` as the parent: a group that opens decides it, an
// ownerless one (a plain directory) by having none; where no group opens the parent stays.
void adoptParentFrom(Node& node, const std::wstring& groupPath) {
    const GroupAt group = findGroup(groupPath);
    if (!group.opened) return;
    // A node is never its own parent (a project refreshed inside its own directory): that would be
    // a reference cycle and an endless walk up to the project.
    if (group.owner && dynamic_cast<Node*>(group.owner.get()) == &node) return;
    fieldsOf(node).parent = group.owner;
}

// Whether two paths name the same directory, however they are written.
bool sameDirectory(const fs::path& a, const fs::path& b) {
    return platform::sameFile(a.native(), b.native());
}

}  // namespace

Result<bool> bindNode(Node& node, const std::wstring& markerPath, const wchar_t* groupPath) {
    if (markerPath.empty()) return {false, InvalidPath};
    Node::Fields& f = fieldsOf(node);
    const RegistryLock lock;
    NodeRegistry& registry = NodeRegistry::instance();
    const std::wstring marker = normalizedAbsolute(markerPath);
    if (marker.empty()) return {false, InvalidPath};

    if (marker == f.markerFilePath) {
        if (!groupPath) return {true, OK};
        if (f.parent && memberGroupPath(*f.parent) == groupPath) return {true, OK};
        adoptParentFrom(node, groupPath);
        return {true, updateLinks(node)};
    }

    registry.removeOwned(f.markerFilePath, &node);
    const fs::path file = toFsPath(marker);
    f.directory = file.parent_path();
    f.markerFilePath = marker;
    f.userVisibleName = toWide(file.stem());
    if (f.userVisibleName == disk::kProjectConfigStem &&
        ulib_2_18::equals_no_case(toWide(file.extension()), getProjectExtension(false)))
        f.userVisibleName = toWide(f.directory.filename());
    registry.add(f.markerFilePath, &node);

    // One read gives both the digest of the marker's head and its bag.
    std::wstring digest;
    error_t outcome = readMarker(f.markerFilePath, f.bag, digest);
    if (!f.linkFilePath.empty() && digest != f.markerDigest) f.linkStale = true;
    f.markerDigest = digest;

    if (const corekit2::variant_bag_t* talvo = talvoSection(f.bag)) {
        if (const wchar_t* output = stringValue(talvo, disk::kOutputDirectory))
            f.outputDirectory = output;
        if (groupPath) adoptParentFrom(node, groupPath);
        if (const wchar_t* backlink = stringValue(talvo, disk::kBacklink)) {
            // A backlink is followed only to a link file that leads back here: one written by
            // anyone else, naming any file, is not acted on.
            if (*backlink && f.linkFilePath.empty() && linkLeadsTo(backlink, f.markerFilePath)) {
                std::wstring linked;
                readLinkFile(node, backlink, linked);
                if (linked != f.markerFilePath) f.linkStale = true;
            }
            // A node reached through a link belongs to the group that holds the link.
            if (!f.parent && !f.linkFilePath.empty() && isRegularFile(f.linkFilePath))
                adoptParentFrom(node, parentOf(f.linkFilePath));
        }
        // Otherwise the node belongs to the owner of the directory that holds it, if any.
        if (!f.parent && f.directory.has_parent_path() && f.directory != f.directory.root_path())
            adoptParentFrom(node, toWide(f.directory.parent_path()));
        outcome = updateLinks(node);
    }
    f.path = toWide(f.directory);
    return {outcome == OK, outcome};
}

Result<bool> rebindKeepingChanges(Node& node, const std::wstring& markerPath,
                                  const wchar_t* groupPath) {
    // Binding reloads the bag from the marker file; when only the marker's name changed, changes
    // not yet saved must survive it.
    Node::Fields& f = fieldsOf(node);
    if (!f.monitor.modified) return bindNode(node, markerPath, groupPath);
    corekit2::variant_bag_t pending(f.bag);
    const Result<bool> bound = bindNode(node, markerPath, groupPath);
    f.bag.swap(pending);
    f.monitor.modified = true;
    return bound;
}

Result<bool> renameMarkerFile(Node& node, const wchar_t* name) {
    Node::Fields& f = fieldsOf(node);
    // The name stays within the node's directory (no separators, no "." or "..") and is the name
    // the marker gets on disk.
    const std::wstring wanted = name ? name : L"";
    if (!isPlainName(wanted)) return {false, ParameterError};
    refreshMarker(node);
    const fs::path marker = toFsPath(f.markerFilePath);
    const fs::path renamed = marker.parent_path() / toFsPath(wanted + toWide(marker.extension()));
    if (renamed == marker) return {true, OK};
    // The marker never replaces a file of the new name: that may be another node's marker.
    const platform::Status moved =
        platform::renameWithoutReplacing(marker.native(), renamed.native());
    if (!moved) return {false, moved.error()};
    const std::wstring parentPath = f.parent ? f.parent->getPath() : L"";
    return rebindKeepingChanges(node, toWide(renamed), f.parent ? parentPath.c_str() : nullptr);
}

std::optional<error_t> refreshMarker(Node& node) {
    Node::Fields& f = fieldsOf(node);
    if (isRegularFile(f.markerFilePath)) return std::nullopt;
    const Result<std::wstring> renamed = locateMarkerFile(
        f.path, makeExtensionSet({toWide(toFsPath(f.markerFilePath).extension())}));
    if (renamed.value.empty()) return renamed.error;
    const std::wstring directory = f.path;
    return rebindKeepingChanges(node, renamed.value, directory.c_str()).error;
}

std::wstring linkTarget(const std::wstring& linkPath) {
    const std::wstring extension = extensionOf(linkPath);
    if (!isLinkFilePath(linkPath)) return std::wstring();
    const std::wstring kind = extension.substr(0, extension.size() - 4);
    if (!hasExtensionIn(memberExtensionSet(), kind) && !hasExtensionIn(ownerExtensionSet(), kind) &&
        !hasExtensionIn(experimentExtensionSet(), kind))
        return std::wstring();
    corekit2::variant_bag_t record;
    if (loadBagFile(linkPath, kLinkFileRoot, record, nullptr, kMaxLinkFileBytes) != OK)
        return std::wstring();
    const wchar_t* target = stringValue(&record, disk::kLinkTarget);
    if (!target || !ulib_2_18::equals_no_case(extensionOf(target), kind)) return std::wstring();
    return normalizedAbsolute(target);
}

bool linkLeadsTo(const std::wstring& linkPath, const std::wstring& marker) {
    const std::wstring target = linkTarget(linkPath);
    return !target.empty() && target == normalizedAbsolute(marker);
}

bool markerNamesLink(const std::wstring& marker, const std::wstring& linkPath) {
    if (!isRegularFile(marker)) return false;
    corekit2::variant_bag_t bag;
    if (loadBagFile(marker, nullptr, bag) != OK) return false;
    const corekit2::variant_bag_t* talvo = talvoSection(bag);
    const wchar_t* backlink = talvo ? stringValue(talvo, disk::kBacklink) : nullptr;
    return backlink && *backlink && normalizedAbsolute(backlink) == normalizedAbsolute(linkPath);
}

error_t readLinkFile(Node& node, const std::wstring& linkPath, std::wstring& markerPath) {
    markerPath.clear();
    Node::Fields& f = fieldsOf(node);
    if (linkPath.empty()) return OK;
    const std::wstring link = normalizedAbsolute(linkPath);
    if (link.empty()) return InvalidPath;
    if (link == f.linkFilePath) return OK;
    {
        const RegistryLock lock;
        NodeRegistry& registry = NodeRegistry::instance();
        if (!f.linkFilePath.empty()) registry.remove(f.linkFilePath);
        f.linkFilePath = link;
        registry.add(f.linkFilePath, &node);
    }
    corekit2::variant_bag_t record;
    if (loadBagFile(f.linkFilePath, kLinkFileRoot, record, nullptr, kMaxLinkFileBytes) != OK)
        return OperationFailed;
    const wchar_t* target = stringValue(&record, disk::kLinkTarget);
    const wchar_t* digest = stringValue(&record, disk::kLinkDigest);
    if (target && digest) {
        markerPath = target;
        if (markerPath != f.markerFilePath) f.linkStale = true;
        if (f.markerDigest != digest) f.linkStale = true;
        f.markerDigest = digest;
    }
    return OK;
}

error_t updateLinks(Node& node) {
    Node::Fields& f = fieldsOf(node);
    const RegistryLock lock;
    std::wstring wanted;
    if (f.parent) {
        const fs::path parentPath = toFsPath(f.parent->getPath());
        if (!sameDirectory(f.directory.parent_path(), parentPath))
            wanted =
                toWide(parentPath / toFsPath(fileNameOf(f.markerFilePath) + disk::kLinkSuffix));
    }
    if (wanted == f.linkFilePath && !f.linkStale) return OK;

    // A stale link is replaced in place, and a link that moves is written before the old one
    // goes: a crash in between must not leave the node in no group at all.
    NodeRegistry& registry = NodeRegistry::instance();
    const std::wstring previous = f.linkFilePath;
    const auto dropPrevious = [&] {
        if (previous.empty() || previous == wanted) return;
        platform::removeFile(toFsPath(previous).native());
    };
    if (!previous.empty() && previous != wanted) registry.removeOwned(previous, &node);
    f.linkFilePath = wanted;
    if (wanted.empty()) {
        dropPrevious();
        return OK;
    }

    if (wanted != previous) registry.add(f.linkFilePath, &node);
    corekit2::variant_bag_t link;
    link.put(disk::kLinkTarget, corekit2::variant_t(f.markerFilePath));
    link.put(disk::kLinkDigest, corekit2::variant_t(f.markerDigest));
    // A link that could not be written leaves the old one in place: the node stays reachable
    // from its former group rather than from none.
    if (saveBagFile(f.linkFilePath, kLinkFileRoot, link) != OK) return OperationFailed;
    dropPrevious();
    f.linkStale = false;
    if (corekit2::variant_bag_t* talvo = f.bag.get<corekit2::variant_bag_t>(disk::kTalvoSection)) {
        talvo->put(disk::kBacklink, corekit2::variant_t(f.linkFilePath));
        return saveMarker(node);
    }
    return OK;
}

error_t saveMarker(Node& node) {
    Node::Fields& f = fieldsOf(node);
    if (!f.linkFilePath.empty() &&
        platform::typeAt(toFsPath(f.markerFilePath).native(), false) == platform::FileType::Missing)
        return NotFound;
    return saveBagFile(f.markerFilePath, nullptr, f.bag);
}

}  // namespace talvo2
