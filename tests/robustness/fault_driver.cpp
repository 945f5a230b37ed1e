// Runs one library operation with the fault injector (fault_inject.cpp, preloaded) armed around
// it, for fault_test.cpp:
//   fault_driver prepare DIR FILES        makes the scenario tree in DIR (FILES data files each)
//   fault_driver SCENARIO DIR K VARIANT   opens what SCENARIO needs, fails the K-th call (0: none)
// Prints "calls=N failed=CALL errno=E error=CODE" and exits 0 when the operation succeeded, 1 when
// it failed and said why, 2 when it failed with OK as its reason. Exceptions are deliberately not
// caught here: one escaping the library must end the process abnormally.

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "propstore2/property_storage.hpp"
#include "talvo2/i_node_group.hpp"
#include "talvo2/i_project.hpp"
#include "talvo2/i_result_directory.hpp"
#include "talvo2/i_search_directories.hpp"
#include "talvo2/names.hpp"
#include "talvo2/result_directory_manager.hpp"
#include "ulib_2_18/text.hpp"

using namespace talvo2;
using corekit2::sptr_t;

namespace {

std::wstring root;

const wchar_t* at(const std::wstring& relative) {
    static std::wstring path;
    path = root + L"/" + relative;
    return path.c_str();
}

// A result with collector data, search directories and a log, as collectors leave them.
bool fill(const sptr_t<IResultDirectory>& result, int files) {
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
// outside it, linked as P/r001<ext>link).
int prepare(int files) {
    if (!fill(ResultDirectoryManager::create(at(L"plain/r000"), false, nullptr, true, nullptr),
              files))
        return 1;
    {
        const auto project = IProject::create(at(L"P"), nullptr, false);
        if (!project ||
            !fill(project->getNodeGroup()->createResultDirectory(L"r000", nullptr), files))
            return 1;
        project->getNodeGroup()->setOutputDirectory(at(L"out"));
        if (!fill(project->getNodeGroup()->createResultDirectory(L"r001", nullptr), files))
            return 1;
    }
    // Opening through the link once brings its digest up to date with the saved marker, so that
    // the scenarios' own opens write nothing.
    const std::wstring link = std::wstring(L"P/r001") + getResultExtension(false) + L"link";
    return ResultDirectoryManager::open(at(link), false, nullptr) ? 0 : 1;
}

struct Outcome {
    bool ok;
    talvo2::error_t error;
};

sptr_t<IResultDirectory> openResult(const std::wstring& relative) {
    const auto result = ResultDirectoryManager::open(at(relative), false, nullptr);
    if (!result) {
        std::fprintf(stderr, "cannot open %ls\n", at(relative));
        std::exit(3);
    }
    return result;
}

// The scenario's operation, its nodes opened before the injector is armed.
std::function<Outcome()> scenario(const std::string& name) {
    const auto last = [](bool ok) { return Outcome{ok, ResultDirectoryManager::getLastError()}; };
    if (name == "create")
        return [=] {
            return last(static_cast<bool>(
                ResultDirectoryManager::create(at(L"plain/r@@@"), false, nullptr, false, nullptr)));
        };
    if (name == "save") {
        const auto result = openResult(L"plain/r000");
        return [=] {
            result->setCollectorCommand(L"collect ./other");
            result->setCollectionTimeEnd(1700000000);
            return last(result->save());
        };
    }
    if (name == "addFlag") {
        const auto result = openResult(L"plain/r000");
        return [=] {
            const talvo2::error_t error = result->addFlag(L"busy", false, false);
            return Outcome{error == OK, error};
        };
    }
    if (name == "copy") {
        // Copied out of its project, the member is linked back into it.
        const auto result = openResult(L"P/r000");
        return [=] { return last(result->copy(at(L"r000-copy"), false, nullptr)); };
    }
    if (name == "export") {
        const auto result = openResult(L"plain/r000");
        return
            [=] { return last(static_cast<bool>(result->exportTo(at(L"exports/r@@@"), nullptr))); };
    }
    if (name == "remove") {
        const auto result =
            openResult(std::wstring(L"P/r001") + getResultExtension(false) + L"link");
        return [=] { return last(result->remove()); };
    }
    std::fprintf(stderr, "unknown scenario %s\n", name.c_str());
    std::exit(3);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: fault_driver prepare DIR FILES | SCENARIO DIR K VARIANT\n");
        return 3;
    }
    root = ulib_2_18::from_utf8(argv[2]);
    if (std::strcmp(argv[1], "prepare") == 0) return prepare(std::atoi(argv[3]));

    const auto arm = reinterpret_cast<void (*)(long, int)>(::dlsym(RTLD_DEFAULT, "fault_arm"));
    const auto disarm = reinterpret_cast<long (*)()>(::dlsym(RTLD_DEFAULT, "fault_disarm"));
    const auto failed =
        reinterpret_cast<const char* (*)()>(::dlsym(RTLD_DEFAULT, "fault_failed_call"));
    const auto failedErrno =
        reinterpret_cast<int (*)()>(::dlsym(RTLD_DEFAULT, "fault_failed_errno"));
    if (!arm || !disarm || !failed || !failedErrno) {
        std::fprintf(stderr, "the fault injector is not preloaded\n");
        return 3;
    }
    const std::function<Outcome()> operation = scenario(argv[1]);
    arm(std::atol(argv[3]), argc > 4 ? std::atoi(argv[4]) : 0);
    const Outcome outcome = operation();
    const long calls = disarm();
    std::printf("calls=%ld failed=%s errno=%d error=%u\n", calls, failed(), failedErrno(),
                static_cast<unsigned>(outcome.error));
    if (outcome.ok) return 0;
    return outcome.error != OK ? 1 : 2;
}
