#pragma once

// The I/O fault scenarios, shared by the preloaded driver (fault_driver.cpp) and the in-process
// harness (fault_test.cpp): the tree they work on and, per scenario, the operation and what it may
// change.

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "propstore2/property_storage.hpp"
#include "talvo2/talvo2.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo2::faults {

using corekit2::sptr_t;

struct Outcome {
    bool ok;
    error_t error;
};
using Operation = std::function<Outcome()>;

inline Outcome last(bool ok) {
    return {ok, ResultDirectoryManager::getLastError()};
}

// The scenario `name`'s operation on the tree at `root`, on the result `r` it opened (none for
// create).
inline Outcome perform(const std::string& name, IResultDirectory* r, const std::wstring& root) {
    if (name == "create")
        return last(bool(ResultDirectoryManager::create((root + L"/plain/r@@@").c_str(), false,
                                                        nullptr, false, nullptr)));
    if (name == "save") {
        r->setCollectorCommand(L"collect ./other");
        r->setCollectionTimeEnd(1700000000);
        return last(r->save());
    }
    if (name == "addFlag") {
        const error_t error = r->addFlag(L"busy", false, false);
        return {error == OK, error};
    }
    // Copied out of its project, the member is linked back into it.
    if (name == "copy") return last(r->copy((root + L"/r000-copy").c_str(), false, nullptr));
    if (name == "move") return last(r->move((root + L"/r000-moved").c_str(), false, nullptr));
    if (name == "export")
        return last(bool(r->exportTo((root + L"/exports/r@@@").c_str(), nullptr)));
    return last(r->remove());  // "remove"
}

struct Scenario {
    const char* name;
    // The result the operation works on, opened before faults are armed ("": none).
    std::wstring node;
    // What the scenario may change or delete (relative paths; a trailing "/" takes a directory).
    std::vector<std::string> own;
    // Files that must still load as bags afterwards.
    std::vector<std::string> mustLoad;
    // Whether a failure may leave OK as the last error: a failed export copy does, and
    // ExportTest.FailuresLeaveTheSourceAlone expects it to.
    bool reasonless;
    // The node directory a move takes, which must be whole in one of its two places.
    std::string moved, movedTo;

    // The operation on the tree at `root`, its result opened now; empty when it cannot be.
    Operation setup(const std::wstring& root) const {
        sptr_t<IResultDirectory> result;
        if (!node.empty() &&
            !(result = ResultDirectoryManager::open((root + node).c_str(), false, nullptr)))
            return {};
        return [result, root, which = std::string(name)] {
            return perform(which, result.get(), root);
        };
    }
};

inline std::vector<Scenario> scenarios() {
    const std::string ext = ulib_2_18::to_utf8(getResultExtension(false));
    const std::wstring link = L"/P/r001" + ulib_2_18::from_utf8(ext) + L"link";
    const std::string marker = "plain/r000/r000" + ext;
    return {{"create", L"", {}, {}, false, "", ""},
            {"save", L"/plain/r000", {marker}, {marker}, false, "", ""},
            {"addFlag", L"/plain/r000", {}, {}, false, "", ""},
            {"copy", L"/P/r000", {}, {}, false, "", ""},
            {"move", L"/P/r000", {"P/r000/"}, {}, false, "P/r000/", "r000-moved/"},
            {"export", L"/plain/r000", {}, {}, true, "", ""},
            {"remove", link, {"out/r001/", "P/r001" + ext + "link"}, {}, false, "", ""}};
}

// A result with collector data, search directories and a log, as collectors leave them.
inline bool fill(const sptr_t<IResultDirectory>& result, int files) {
    if (!result) return false;
    for (int d = 0; d < 2; ++d) {
        const wchar_t* data = result->createCollectorDataDir();
        if (!data) return false;
        for (int i = 0; i < files; ++i)
            std::ofstream(ulib_2_18::to_utf8(data) + "/f" + std::to_string(i) + ".bin")
                << std::string(1000 + 700 * i, static_cast<char>('a' + i % 26));
    }
    std::ofstream(ulib_2_18::to_utf8(result->getSubdir(STANDARD_DIR_LOG)) + "/collector.log")
        << "collected\n";
    result->getSubdir(STANDARD_DIR_CONFIG);
    const auto search = result->getSearchDirectories();
    search->getStorage()->setValue(L"source", corekit2::variant_t(L"/src"));
    result->setCollectorCommand(L"collect ./app");
    return search->save() && result->save() && result->setFinalized(true);
}

// plain/r000 (no group); P/r000 (a project's member inside it); out/r001 (a member of P stored
// outside it, linked as P/r001<ext>link). Opening through the link once brings its digest up to
// date with the saved marker, so that the scenarios' own opens write nothing.
inline bool prepare(const std::wstring& root, int files) {
    if (!fill(ResultDirectoryManager::create((root + L"/plain/r000").c_str(), false, nullptr, true,
                                             nullptr),
              files))
        return false;
    {
        const auto project = IProject::create((root + L"/P").c_str(), nullptr, false);
        const auto group = project ? project->getNodeGroup() : nullptr;
        if (!group || !fill(group->createResultDirectory(L"r000", nullptr), files)) return false;
        group->setOutputDirectory((root + L"/out").c_str());
        if (!fill(group->createResultDirectory(L"r001", nullptr), files)) return false;
    }
    const std::wstring link = root + L"/P/r001" + getResultExtension(false) + L"link";
    return bool(ResultDirectoryManager::open(link.c_str(), false, nullptr));
}

}  // namespace talvo2::faults
