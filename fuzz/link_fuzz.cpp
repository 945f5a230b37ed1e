// Link files: a project whose output directory lies elsewhere holds a link file to its result. The
// input replaces that link file; opening the result then reads it through its backlink, and
// opening the link itself follows it. Neither misbehaves, opening the result repairs a stale link
// that still names it and leaves any other file alone, and every node is gone once its handles
// are.

#include <fcntl.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "corekit2/bag_file.hpp"
#include "corekit2/md5.hpp"
#include "frame/bag_values.hpp"
#include "frame/wide_path.hpp"
#include "fuzz_util.hpp"
#include "node/marker_files.hpp"
#include "talvo2/i_node_group.hpp"
#include "talvo2/i_project.hpp"
#include "talvo2/i_result_directory.hpp"
#include "talvo2/node.hpp"
#include "talvo2/result_directory_manager.hpp"
#include "ulib_2_18/text.hpp"

namespace fs = boost::filesystem;
using corekit2::sptr_t;
using corekit2::variant_bag_t;
using namespace talvo2;
using talvo2::fuzz::check;
using talvo2::fuzz::fail;

namespace {

// The scratch tree as the library left it after making the project and its result: restored
// before each step, so that one input cannot change what the next one meets.
std::string gRoot;
std::vector<std::string> gDirectories;
std::vector<std::pair<std::string, std::string>> gFiles;

// Whether a repaired link must carry its marker's digest. Off unless TALVO2_FUZZ_LINK_DIGEST=1:
// the library now writes the digest it read from the old link, so every input would fail here
// and hide whatever else the target could find.
bool gCheckDigest = false;

// The directory the process started in, left for the scratch tree during each input only: libFuzzer
// resolves the corpus and artifact paths it was given against it.
int gStartDirectory = -1;

const char* const kLink = "P/r000.talvolink";
const char* const kResult = "out/r000";

std::wstring wide(const std::string& relative) {
    return ulib_2_18::from_utf8(gRoot + "/" + relative);
}

void snapshot() {
    for (fs::recursive_directory_iterator it(gRoot), end; it != end; ++it) {
        const std::string relative = it->path().lexically_relative(gRoot).string();
        if (fs::is_directory(it->symlink_status())) {
            gDirectories.push_back(relative);
        } else if (fs::is_regular_file(it->symlink_status())) {
            gFiles.emplace_back(relative, fuzz::readFile(it->path().string()));
        } else {
            fail("the scratch tree holds something else than files and directories");
        }
    }
}

void restore() {
    boost::system::error_code ec;
    for (fs::directory_iterator it(gRoot, ec), end; !ec && it != end; it.increment(ec))
        fs::remove_all(it->path());
    if (ec) fail("cannot list the scratch tree");
    for (const std::string& directory : gDirectories)
        fs::create_directories(gRoot + "/" + directory);
    for (const auto& [relative, content] : gFiles)
        fuzz::writeFile(gRoot + "/" + relative, content.data(), content.size());
}

void makeTree() {
    const sptr_t<IProject> project = IProject::create(wide("P").c_str(), nullptr, false);
    check(static_cast<bool>(project), "the project cannot be made");
    project->getNodeGroup()->setOutputDirectory(wide("out").c_str());
    check(static_cast<bool>(project->getNodeGroup()->createResultDirectory(L"r@@@", nullptr)),
          "the linked result cannot be made");
}

// A link names a marker only with both values; the target goes up to the first NUL, as the library
// takes it.
struct LinkRecord {
    bool complete = false;
    std::wstring target;
    std::wstring digest;
};

LinkRecord readLink(const std::string& linkFile) {
    variant_bag_t record;
    if (corekit2::load_variant_bag2(record, ulib_2_18::from_utf8(linkFile).c_str(), "bag", false) !=
        corekit2::BAG_OK)
        return {};
    const wchar_t* target = stringValue(&record, L"link");
    const wchar_t* digest = stringValue(&record, L"md5sum");
    if (!target || !digest) return {};
    return {true, target, digest};
}

// The digest a link records for a marker: of the marker's first 4 KiB.
std::wstring markerDigest(const std::wstring& marker) {
    corekit2::md5_t digest;
    check(digest.update_from_file(corekit2::path_t(marker), 4096), "the marker cannot be read");
    return digest.get_digest_base16();
}

// Whether opening a link to `target` keeps the library inside the scratch tree: the node's
// directory, and the group around it that is looked up, must both lie within.
bool staysInside(const std::wstring& target) {
    if (target.empty()) return true;
    std::wstring path;
    try {
        path = normalizedAbsolute(target);
    } catch (const std::exception&) {
        return false;
    }
    const std::wstring root = ulib_2_18::from_utf8(gRoot) + L"/";
    if (path.compare(0, root.size(), root) != 0) return false;
    const std::wstring rest = path.substr(root.size());
    const std::size_t slash = rest.find(L'/');
    return slash != std::wstring::npos && slash > 0 && slash + 1 < rest.size();
}

void touch(const sptr_t<IResultDirectory>& node) {
    node->getPath();
    node->getUserVisibleName();
    node->isLinked();
    node->isLinkStale();
    node->getLinkFilePath();
    if (const sptr_t<INode> parent = node->getParent()) parent->getUserVisibleName();
}

// Opening the result reads the fuzzed link through the result's backlink. A link that still
// names the result's marker is taken and repaired; anything else is not the result's link, and is
// neither rewritten nor deleted: the result is then simply not linked.
void openResult(const uint8_t* data, std::size_t size) {
    restore();
    const std::string link = gRoot + "/" + kLink;
    fuzz::writeFile(link, data, size);
    const std::wstring marker = wide(std::string(kResult) + "/r000.talvo");
    LinkRecord named;
    {
        variant_bag_t record;
        const wchar_t* target = nullptr;
        if (corekit2::load_variant_bag2(record, ulib_2_18::from_utf8(link).c_str(), "bag", false) ==
            corekit2::BAG_OK)
            target = stringValue(&record, L"link");
        named.complete = target && *target;
        if (named.complete) named.target = target;
    }
    bool ours = false;
    try {
        ours = named.complete && normalizedAbsolute(named.target) == marker;
    } catch (const std::exception&) {
    }
    {
        const sptr_t<IResultDirectory> result =
            ResultDirectoryManager::open(wide(kResult).c_str(), false, nullptr);
        check(static_cast<bool>(result), "the linked result does not open");
        touch(result);
        if (ours) {
            check(result->isLinked() && !result->isLinkStale(), "the result is not linked afresh");
        } else {
            check(!result->isLinked(), "a link that names another marker is taken as the result's");
        }
    }
    check(Node::handleCount() == 0, "a node outlives its handles");
    if (ours) {
        const LinkRecord record = readLink(link);
        check(record.complete && record.target == marker,
              "opening the result left its link naming another marker");
        if (gCheckDigest)
            check(record.digest == markerDigest(marker),
                  "opening the result left its link with another digest than its marker's");
    } else {
        check(fuzz::readFile(link) == std::string(reinterpret_cast<const char*>(data), size),
              "opening the result changed a link file that is not its own");
    }
}

// Opening the link file follows it to the marker it names.
void openLink(const uint8_t* data, std::size_t size) {
    restore();
    const std::string link = gRoot + "/" + kLink;
    fuzz::writeFile(link, data, size);
    const LinkRecord record = readLink(link);
    if (!staysInside(record.target)) return;
    {
        const sptr_t<IResultDirectory> node =
            ResultDirectoryManager::open(wide(kLink).c_str(), false, nullptr);
        if (node) {
            touch(node);
            // The marker named, or one renamed within its directory, which nodes follow.
            if (record.complete && !record.target.empty()) {
                const std::wstring named = normalizedAbsolute(record.target);
                const std::wstring marker = node->getMarkerFilePath();
                boost::system::error_code ec;
                check(fs::is_regular_file(toFsPath(named), ec)
                          ? marker == named
                          : parentOf(marker) == parentOf(named),
                      "a link opens another marker than it names");
            }
        }
    }
    check(Node::handleCount() == 0, "a node outlives its handles");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* digest = std::getenv("TALVO2_FUZZ_LINK_DIGEST");
    gCheckDigest = digest && std::string(digest) == "1";
    // Canonical, as the library's absolute paths come from the working directory.
    gRoot = fs::canonical(fuzz::makeScratchDirectory()).string();
    gStartDirectory = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (gStartDirectory < 0) fail("cannot open the working directory");
    makeTree();
    check(Node::handleCount() == 0, "a node outlives its handles");
    snapshot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Relative link targets resolve inside the scratch tree.
    if (::chdir(gRoot.c_str()) != 0) fail("cannot enter the scratch directory");
    openResult(data, size);
    openLink(data, size);
    if (::fchdir(gStartDirectory) != 0) fail("cannot return to the working directory");
    return 0;
}
