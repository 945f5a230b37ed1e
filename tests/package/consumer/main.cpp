// A program that uses the installed library the way a product component would.
#include <cstdio>

#include "corekit2/variant_bag.hpp"
#include "talvo2/talvo2.hpp"

int main() {
    corekit2::variant_bag_t bag;
    bag.put(L"key", corekit2::variant_t(7));
    std::printf("result extension: %ls\n", talvo2::getResultExtension(false));
    std::printf("last error: %u\n",
                static_cast<unsigned>(talvo2::ResultDirectoryManager::getLastError()));
    return bag.get<corekit2::variant_t>(L"key")->get_int32() == 7 ? 0 : 1;
}
