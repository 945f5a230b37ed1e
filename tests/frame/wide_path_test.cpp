#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <clocale>
#include <string>

#include "frame/wide_path.hpp"
#include "util/test_util.hpp"

namespace talvo2 {
namespace {

namespace fs = boost::filesystem;

// Names must reach the disk as UTF-8 and come back unchanged however the process locale is set:
// collectors run under whatever locale the batch system gives them.
TEST(WidePath, NonAsciiNamesRoundTripUnderAnyLocale) {
    for (const char* locale : {"C", "C.UTF-8"}) {
        ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr);
        test::TempDir dir;
        for (const std::wstring name : {L"résultats", L"結果", L"r000 😀", L"plain"}) {
            const fs::path path = toFsPath(dir.wide(name));
            ASSERT_TRUE(fs::create_directory(path));
            EXPECT_EQ(path.filename().string(), test::utf8Path(name).string());
            EXPECT_EQ(toWide(path), dir.wide(name));
        }
        std::size_t listed = 0;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir.path())) {
            const std::wstring name = toWide(entry.path().filename());
            EXPECT_TRUE(name == L"résultats" || name == L"結果" || name == L"r000 😀" ||
                        name == L"plain")
                << entry.path().string();
            ++listed;
        }
        EXPECT_EQ(listed, 4u);
    }
    std::setlocale(LC_ALL, "C");
}

}  // namespace
}  // namespace talvo2
