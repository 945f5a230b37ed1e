// Prints the names the library gives to what it stores, and the message of every error code.

#include <clocale>
#include <cstdio>

#include "talvo2/talvo2.hpp"

namespace {

void show(const char* label, const wchar_t* value) {
    std::printf("%-32s %ls\n", label, value);
}

}  // namespace

int main() {
    // Wide text is printed through the C library, which needs a locale that can encode it.
    std::setlocale(LC_ALL, "C.UTF-8");

    std::printf("File name extensions\n");
    show("result", talvo2::getResultExtension(false));
    show("project", talvo2::getProjectExtension(false));
    show("experiment", talvo2::getExperimentExtension());
    show("packed experiment", talvo2::getPackedExperimentExtension());
    show("flag lock", talvo2::getFlagLockExtension());
    show("flag information", talvo2::getFlagInfoExtension());
    show("collector data directory prefix", talvo2::getCollectorDataDirectoryPrefix());
    show("default result name", talvo2::ResultDirectoryManager::getDefaultResultDirectoryName());

    std::printf("\nError codes\n");
    for (unsigned code = 0; code <= 21; ++code)
        std::printf("%3u  %ls\n", code, talvo2::toString(static_cast<talvo2::error_t>(code)));
    return 0;
}
