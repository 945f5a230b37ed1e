#include "node/directory_maker.hpp"

#include <boost/filesystem/path.hpp>
#include <cctype>
#include <optional>

#include "frame/bag_values.hpp"
#include "frame/wide_path.hpp"
#include "node/marker_files.hpp"
#include "node/name_pattern.hpp"
#include "node/node_opener.hpp"
#include "node/node_relations.hpp"
#include "platform/files.hpp"
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
void highestNumber(const fs::path& directory, const ResultNamePattern& pattern,
                   std::optional<uint64_t>& highest, std::vector<std::string>* owners) {
    // Names are first compared with the prefix as bytes, so entries that cannot match cost no
    // conversion.
    const std::string prefix = ulib_2_18::to_utf8(pattern.prefix);
    std::vector<platform::DirectoryEntry> entries;
    platform::listDirectory(directory.native(), entries);
    for (const platform::DirectoryEntry& entry : entries) {
        const std::string& name = entry.name;
        const fs::path path = directory / name;
        if (owners && isOwnerFileName(name) &&
            platform::typeAt(path.native(), false) == platform::FileType::Regular)
            owners->push_back(name);
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        uint64_t number = 0;
        if (!matchPattern(pattern, ulib_2_18::from_utf8(name), number)) continue;
        if (highest && number <= *highest) continue;
        platform::FileType type = entry.type;
        if (type == platform::FileType::Unknown) type = platform::typeAt(path.native(), false);
        bool counts = type == platform::FileType::Directory || isLinkFileName(name);
        if (!counts && type == platform::FileType::Symlink)
            counts = platform::typeAt(path.native(), true) == platform::FileType::Directory;
        if (counts) highest = number;
    }
}

}  // namespace

error_t makeNodeDirectory(const std::wstring& path, const std::wstring& base, bool overwrite,
                          const corekit2::variant_bag_t& bag, bool literal, std::wstring& created,
                          std::unique_ptr<OwnerListingHint>* listed) {
    if (!isEncodable(path) || !isEncodable(base)) return InvalidPath;
    // "." and ".." name directories that are there already (the caller's own, or the one above
    // it): asked to overwrite, they would delete it.
    std::wstring last = path;
    while (last.size() > 1 && last.back() == L'/') last.pop_back();
    last.erase(0, last.find_last_of(L'/') + 1);
    if (overwrite && (last == L"." || last == L"..")) return InvalidPath;
    {
        std::wstring current;
        const error_t located = absolutePath(L".", current);
        if (located != OK) return located;
        fs::path root = toFsPath(current);
        fs::path baseDirectory;
        if (!base.empty()) {
            baseDirectory = toFsPath(base).is_absolute() ? toFsPath(base) : root / toFsPath(base);
            // A base where no group opens anchors nothing: the path counts from the current
            // directory, as without a base.
            const std::wstring output = groupOutputDirectory(toWide(baseDirectory));
            if (!output.empty()) root = toFsPath(output);
        }
        const fs::path given = toFsPath(path);
        fs::path resolved = (given.is_absolute() ? given : root / given).lexically_normal();
        if (resolved.filename_is_dot() && resolved.has_parent_path())
            resolved = resolved.parent_path();
        const fs::path parent = resolved.parent_path();
        const std::wstring element = toWide(resolved.filename());
        if (baseDirectory.empty()) baseDirectory = parent;

        const error_t checked = checkResultNamePattern(element.c_str());
        if (checked != OK) return checked;
        const corekit2::variant_bag_t* variables = talvoSection(bag);
        ResultNamePattern pattern;
        const error_t parsed = parsePattern(element, variables, pattern);
        if (parsed != OK) return parsed;

        const platform::FileType parentType = platform::typeAt(parent.native(), true);
        if (parentType == platform::FileType::Missing) {
            const error_t made = tryCreateDirectory(toWide(parent));
            if (made != OK && made != AlreadyExists) return made;
        } else if (parentType != platform::FileType::Directory) {
            return NotFound;
        }

        // Variables may hold anything: what they expand to must still name one entry of the
        // parent, never a path that leads elsewhere.
        const auto usable = [](const std::wstring& name) {
            if (name.find(L'/') != std::wstring::npos) return ReservedCharacters;
            return name.empty() || name == L"." || name == L".." ? InvalidPath : OK;
        };

        if (pattern.width != 0 && !literal) {
            if (overwrite) return ParameterError;
            std::optional<uint64_t> highest;
            std::vector<std::string> owners;
            highestNumber(parent, pattern, highest, &owners);
            if (baseDirectory != parent) highestNumber(baseDirectory, pattern, highest, nullptr);
            uint64_t next = highest ? *highest + 1 : 0;
            error_t made = AlreadyExists;
            bool retried = false;
            fs::path candidate;
            for (;;) {
                const std::wstring name = expandPattern(pattern, next, variables);
                const error_t nameOk = usable(name);
                if (nameOk != OK) return nameOk;
                candidate = parent / toFsPath(name);
                made = tryCreateDirectory(toWide(candidate));
                ++next;
                if (made == AlreadyExists) continue;
                // One more try past a number that failed for a reason of its own.
                if (made != OK && made != InsufficientPermissions && !retried) {
                    retried = true;
                    continue;
                }
                break;
            }
            if (made == OK) {
                created = toWide(candidate);
                if (listed) *listed = std::make_unique<OwnerListingHint>(parent, std::move(owners));
            }
            return made;
        }

        const std::wstring name = expandVariables(element, variables);
        const error_t nameOk = usable(name);
        if (nameOk != OK) return nameOk;
        const fs::path candidate = parent / toFsPath(name);
        if (overwrite &&
            platform::typeAt(candidate.native(), false) != platform::FileType::Missing) {
            platform::removeTree(candidate.native());
            if (platform::typeAt(candidate.native(), false) != platform::FileType::Missing)
                return OperationFailed;
        }
        const error_t made = tryCreateDirectory(toWide(candidate));
        if (made == OK) created = toWide(candidate);
        return made;
    }
}

}  // namespace talvo2
