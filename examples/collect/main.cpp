// What a collector does with the library: create the next numbered result in a folder, record
// how the data was collected, write into a collector data directory, and finalize the result.
//   talvo2_collect FOLDER

#include <cstdio>
#include <fstream>
#include <string>

#include "talvo2/talvo2.hpp"
#include "ulib_2_18/text.hpp"

int main(int argc, char** argv) {
    using namespace talvo2;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    // "r@@@" numbers results r000, r001, ... one past the highest present, safely between
    // processes creating in the same folder at once.
    const std::wstring pattern = ulib_2_18::from_utf8(argv[1]) + L"/r@@@";
    corekit2::sptr_t<IResultDirectory> result =
        ResultDirectoryManager::create(pattern.c_str(), false, nullptr, false, nullptr);
    if (!result) {
        // Failures leave their reason as the thread's last error. Qualified: glibc declares a
        // global error_t too, which `using namespace` would make ambiguous.
        const talvo2::error_t code = ResultDirectoryManager::getLastError();
        std::fprintf(stderr, "cannot create a result: %s\n",
                     ulib_2_18::to_utf8(toString(code)).c_str());
        return 1;
    }
    result->setCollectorCommand(L"talvo2_collect");
    result->setCollectionTimeBegin(1);  // 1 stands for "now"

    // Collector data goes into data.0, data.1, ...
    const wchar_t* data = result->createCollectorDataDir();
    if (!data) return 1;
    std::ofstream(ulib_2_18::to_utf8(data) + "/samples.txt") << "42\n";

    result->setCollectionTimeEnd(1);
    // Metadata changes live in memory until saved; finalizing marks collection as complete.
    if (!result->save() || !result->setFinalized(true)) return 1;
    std::printf("%s\n", ulib_2_18::to_utf8(result->getPath()).c_str());
    return 0;
}
