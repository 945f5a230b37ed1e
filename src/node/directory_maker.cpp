#include "node/directory_maker.hpp"

#include <boost/filesystem/path.hpp>
#include <cctype>
#include <optional>

#include "frame/bag_files.hpp"
#include "frame/bag_values.hpp"
#include "frame/wide_path.hpp"
#include "node/marker_files.hpp"
#include "node/name_pattern.hpp"
#include "node/node_opener.hpp"
#include "node/node_relations.hpp"
#include "platform/files.hpp"
#include "platform/hidden_entries.hpp"
#include "platform/tree_walk.hpp"
#include "ulib_2_18/text.hpp"

namespace fs = boost::filesystem;

namespace talvo2 {

namespace {

// Whether a file name ends in a node extension followed by "link" (any case), judged on the
// on-disk bytes so that scanning a large folder converts nothing it need not.
bool isLinkFileName(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || name.size() - dot <= 8) return false;
    const std::string tail = name.substr(name.size() - 4);
    for (std::size_t i = 0; i < 4; ++i)
        if (std::tolower(static_cast<unsigned char>(tail[i])) != "link"[i]) return false;
    return true;
}

// The highest number among the entries of `directory` that match `pattern` and could be nodes
// (directories and link files). One pass over the folder, asking the type only of entries that
// would raise the highest number so far: in a folder of N results listed in any order that is
// about ln N status queries, not N. The same pass notes, when `owners` is given, the files that
// could be the folder's own marker, so the new node's binding need not list the folder again.
void highestNumber(const fs::path& directory, platform::Directory* open,
                   const ResultNamePattern& pattern, std::optional<uint64_t>& highest,
                   std::vector<std::string>* owners) {
    // Names are first compared with the prefix as bytes, so entries that cannot match cost no
    // conversion.
    const std::string prefix = ulib_2_18::to_utf8(pattern.prefix);
    std::vector<platform::DirectoryEntry> entries;
    if (open)
        platform::listDirectory(*open, entries);
    else
        platform::listDirectory(directory.native(), entries);
    for (const platform::DirectoryEntry& entry : entries) {
        const std::string& name = entry.name;
        if (owners && isOwnerFileName(name) &&
            platform::typeAt((directory / name).native(), false) == platform::FileType::Regular)
            owners->push_back(name);
        uint64_t number = 0;
        if (!matchPatternBytes(pattern, prefix, name, number)) continue;
        if (highest && number <= *highest) continue;
        const fs::path path = directory / name;
        platform::FileType type = entry.type;
        if (type == platform::FileType::Unknown) type = platform::typeAt(path.native(), false);
        bool counts = type == platform::FileType::Directory || isLinkFileName(name);
        if (!counts && type == platform::FileType::Symlink)
            counts = platform::typeAt(path.native(), true) == platform::FileType::Directory;
        if (counts) highest = number;
    }
}

// The parent directories a creation made, taken back (the empty ones, deepest first) unless the
// creation succeeds.
class MadeParents {
public:
    ~MadeParents() {
        if (m_kept) return;
        for (auto it = m_made.rbegin(); it != m_made.rend(); ++it)
            if (!platform::fileSystem().remove(nullptr, it->native(), true)) break;
    }
    // Makes `directory` and the missing directories above it.
    error_t make(const fs::path& directory) {
        std::vector<fs::path> missing;
        fs::path at = directory;
        while (!at.empty() && at != at.root_path() &&
               platform::typeAt(at.native(), false) == platform::FileType::Missing) {
            missing.push_back(at);
            at = at.parent_path();
        }
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            const platform::Status made =
                platform::fileSystem().makeDirectory(nullptr, it->native(), 0777);
            if (made) {
                m_made.push_back(*it);
            } else if (!made.exists()) {
                // Nothing there although asked: a link that leads nowhere, or a refusal.
                return made.missing() ? NotFound : made.error();
            }
        }
        return OK;
    }
    void keep() { m_kept = true; }

private:
    std::vector<fs::path> m_made;
    bool m_kept = false;
};

// The marker's file name in a directory named `name`.
std::string markerLeafFor(const std::wstring& markerName, const std::wstring& name) {
    fs::path leaf = toFsPath(markerName);
    if (leaf.stem().empty()) leaf = toFsPath(name + toWide(leaf.extension()));
    return leaf.native();
}

// Fills `directory` as the request says: its filler, or a marker holding the bag.
error_t fillNode(const NodeRequest& request, platform::Directory& directory,
                 const std::string& markerLeaf) {
    if (request.fill) return request.fill(directory, markerLeaf);
    std::string bytes;
    if (!renderBag(request.bag ? *request.bag : corekit2::variant_bag_t(), bytes))
        return OperationFailed;
    const platform::Status written = platform::writeNewFile(directory, markerLeaf, bytes);
    if (written) {
        FreshMarker::wrote(bytes);
        return OK;
    }
    return written.missing() ? NotFound : OperationFailed;
}

// Where renaming without replacing is not offered (some network file systems): the directory is
// made under its final name and filled there, and removed again when filling fails.
error_t makeInPlace(const NodeRequest& request, platform::Directory& parent,
                    const fs::path& parentPath, const std::wstring& name) {
    const std::string leaf = toFsPath(name).native();
    const error_t made = tryCreateDirectory(toWide(parentPath / leaf));
    if (made != OK) return made;
    std::unique_ptr<platform::Directory> directory;
    error_t filled = OperationFailed;
    if (platform::fileSystem().openDirectory(&parent, leaf, false, true, directory))
        filled = fillNode(request, *directory, markerLeafFor(request.markerName, name));
    directory.reset();
    if (filled != OK) platform::removeTreeAt(parent, leaf);
    return filled;
}

// Variables may hold anything: what they expand to must still name one entry of the parent,
// never a path that leads elsewhere.
error_t usable(const std::wstring& name) {
    if (name.find(L'/') != std::wstring::npos) return ReservedCharacters;
    return name.empty() || name == L"." || name == L".." ? InvalidPath : OK;
}

}  // namespace

error_t makeNode(const NodeRequest& request, MadeNode& result) {
    const std::wstring& path = request.path;
    if (!isEncodable(path) || !isEncodable(request.base)) return InvalidPath;
    // "." and ".." name directories that are there already (the caller's own, or the one above
    // it): asked to overwrite, they would delete it.
    std::wstring last = path;
    while (last.size() > 1 && last.back() == L'/') last.pop_back();
    last.erase(0, last.find_last_of(L'/') + 1);
    if (request.overwrite && (last == L"." || last == L"..")) return InvalidPath;

    // The current directory anchors only relative paths; an absolute path and base need no
    // system call for it.
    std::wstring current;
    const bool relative = !toFsPath(path).is_absolute() ||
                          (!request.base.empty() && !toFsPath(request.base).is_absolute());
    if (relative) {
        const error_t located = absolutePath(L".", current);
        if (located != OK) return located;
    }
    fs::path root = toFsPath(current);
    fs::path baseDirectory;
    if (!request.base.empty()) {
        const fs::path base = toFsPath(request.base);
        baseDirectory = base.is_absolute() ? base : root / base;
        // A base where no group opens anchors nothing: the path counts from the current
        // directory, as without a base.
        const std::wstring output = groupOutputDirectory(toWide(baseDirectory));
        if (!output.empty()) root = toFsPath(output);
    }
    const fs::path given = toFsPath(path);
    fs::path resolved = (given.is_absolute() ? given : root / given).lexically_normal();
    if (resolved.filename_is_dot() && resolved.has_parent_path()) resolved = resolved.parent_path();
    const fs::path parentPath = resolved.parent_path();
    const std::wstring element = toWide(resolved.filename());
    if (baseDirectory.empty()) baseDirectory = parentPath;

    const error_t checked = checkResultNamePattern(element.c_str());
    if (checked != OK) return checked;
    const corekit2::variant_bag_t* variables = request.bag ? talvoSection(*request.bag) : nullptr;
    ResultNamePattern pattern;
    const error_t parsed = parsePattern(element, variables, pattern);
    if (parsed != OK) return parsed;
    const bool numbered = pattern.width != 0 && !request.literal;
    if (numbered && request.overwrite) return ParameterError;
    // A copy into its own source would copy the new directory into itself without end.
    if (!request.notWithin.empty() && isWithin(parentPath, toFsPath(request.notWithin)))
        return ParameterError;

    // The folder is opened once, to act in and, for a numbered name, to list through; a
    // missing one is made first (and taken back unless the creation succeeds).
    MadeParents parents;
    std::unique_ptr<platform::Directory> parent;
    bool listable = numbered;
    const auto openParent = [&] {
        return platform::fileSystem().openDirectory(nullptr, parentPath.native(), true, listable,
                                                    parent);
    };
    platform::Status opened = openParent();
    if (opened.missing()) {
        const error_t made = parents.make(parentPath);
        if (made != OK) return made;
        opened = openParent();
    }
    if (!opened && listable && !opened.missing()) {  // not readable: acted in all the same
        listable = false;
        opened = openParent();
    }
    if (!opened) return opened.missing() ? NotFound : opened.error();

    std::optional<uint64_t> highest;
    std::vector<std::string> owners;
    if (numbered) {
        highestNumber(parentPath, listable ? parent.get() : nullptr, pattern, highest, &owners);
        if (baseDirectory != parentPath)
            highestNumber(baseDirectory, nullptr, pattern, highest, nullptr);
    }
    uint64_t next = highest ? *highest + 1 : 0;
    std::wstring name =
        numbered ? expandPattern(pattern, next, variables) : expandVariables(element, variables);
    error_t nameOk = usable(name);
    if (nameOk != OK) return nameOk;

    platform::StagedDirectory stage;
    const platform::Status staged = stage.make(*parent);
    if (!staged) {
        if (staged.unsupported()) {
            const error_t made = makeInPlace(request, *parent, parentPath, name);
            if (made != OK) return made;
        } else {
            return staged.missing() ? NotFound : staged.error();
        }
    } else {
        std::string leaf = markerLeafFor(request.markerName, name);
        const error_t filled = fillNode(request, stage.directory(), leaf);
        if (filled != OK) return filled;
        std::string aside;  // what an overwrite replaces, out of sight until the new one is in
        if (request.overwrite && platform::typeAt((parentPath / toFsPath(name)).native(), false) !=
                                     platform::FileType::Missing) {
            aside = platform::hiddenDirectoryName(platform::HiddenKind::Removal);
            if (!platform::fileSystem().rename(parent.get(), toFsPath(name).native(), parent.get(),
                                               aside, platform::RenameMode::NoReplace))
                return OperationFailed;
        }
        bool retried = false;
        for (;;) {
            const platform::Status published = stage.publish(toFsPath(name).native());
            if (published) break;
            if (published.unsupported()) {
                stage.discard();
                const error_t made = makeInPlace(request, *parent, parentPath, name);
                if (made != OK) return made;
                break;
            }
            const bool taken = published.exists();
            if (!numbered || (!taken && retried)) {
                if (!aside.empty())
                    platform::fileSystem().rename(parent.get(), aside, parent.get(),
                                                  toFsPath(name).native(),
                                                  platform::RenameMode::NoReplace);
                return taken ? AlreadyExists : published.error();
            }
            // The number is taken: the next one. One more try past a number that failed for a
            // reason of its own.
            if (!taken) retried = true;
            name = expandPattern(pattern, ++next, variables);
            nameOk = usable(name);
            if (nameOk != OK) return nameOk;
            const std::string nextLeaf = markerLeafFor(request.markerName, name);
            if (nextLeaf != leaf) {
                if (!platform::fileSystem().rename(&stage.directory(), leaf, &stage.directory(),
                                                   nextLeaf, platform::RenameMode::Replace))
                    return OperationFailed;
                leaf = nextLeaf;
            }
        }
        if (!aside.empty()) platform::removeTreeAt(*parent, aside);
    }
    parents.keep();
    const fs::path created = parentPath / toFsPath(name);
    result.directory = toWide(created);
    result.marker = toWide(created / markerLeafFor(request.markerName, name));
    if (numbered) result.listed = std::make_unique<OwnerListingHint>(parentPath, std::move(owners));
    return OK;
}

}  // namespace talvo2
