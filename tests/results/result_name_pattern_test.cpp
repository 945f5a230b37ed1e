#include "node/name_pattern.hpp"

#include <gtest/gtest.h>
#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <vector>

#include "corekit2/host.hpp"
#include "talvo2/result_directory_manager.hpp"
#include "ulib_2_18/text.hpp"

namespace talvo2 {
namespace {

using corekit2::variant_bag_t;
using corekit2::variant_t;

error_t validate(const wchar_t* pattern) {
    return ResultDirectoryManager::validateResultDirectoryPattern(pattern);
}

TEST(ResultNamePattern, RefusesNamesThatCannotNameADirectory) {
    for (const wchar_t* name :
         {L"com1", L"Com1.txt", L"nul", L"LPT@", L"lpt@.x", L"CON", L"aux.r@@@"})
        EXPECT_EQ(validate(name), ReservedDeviceName) << name;
    for (const wchar_t* name :
         {L"COM10", L"A@", L"r@@@", L"x.con", L".", L"..", L"résultats_@@", L"結果", L"r@@@@@@@@"})
        EXPECT_EQ(validate(name), OK) << name;
    for (const wchar_t* name :
         {L"a<b", L"a>b", L"a:b", L"a\"b", L"x/r@@@", L"x\\r", L"a|b", L"a?b", L"a*b", L"a<@@b@"})
        EXPECT_EQ(validate(name), ReservedCharacters) << name;
    EXPECT_EQ(validate(L"r000."), InvalidLastCharacter);
    EXPECT_EQ(validate(L"r000 "), InvalidLastCharacter);
    EXPECT_EQ(validate(L""), EmptyPattern);
    EXPECT_EQ(validate(nullptr), EmptyPattern);
    EXPECT_EQ(validate(L"a@@b@"), TooManyPlaceholderGroups);
    EXPECT_EQ(validate(L"r@@@@@@@@@"), TooLongPlaceholder);
}

TEST(ResultNamePattern, ParsesMatchesAndExpands) {
    ResultNamePattern pattern;
    ASSERT_EQ(parsePattern(L"r@@@hs", nullptr, pattern), OK);
    EXPECT_EQ(pattern.prefix, L"r");
    EXPECT_EQ(pattern.suffix, L"hs");
    EXPECT_EQ(pattern.width, 3u);
    EXPECT_EQ(pattern.modulus, 1000u);
    EXPECT_EQ(pattern.prefixBytes, 2u);

    uint64_t number = 0;
    EXPECT_TRUE(matchPattern(pattern, L"r012x", number));  // the rest is not compared
    EXPECT_EQ(number, 12u);
    EXPECT_FALSE(matchPattern(pattern, L"r", number));
    EXPECT_FALSE(matchPattern(pattern, L"rx12", number));
    EXPECT_FALSE(matchPattern(pattern, L"R012", number)) << "the prefix is compared exactly";
    EXPECT_FALSE(matchPattern(pattern, L"r99999999999999999999999", number)) << "too large";
    EXPECT_EQ(expandPattern(pattern, 13, nullptr), L"r013hs");
    EXPECT_EQ(expandPattern(pattern, 1000, nullptr), L"r1000hs");

    // Digits the suffix begins with are not part of the number.
    ASSERT_EQ(parsePattern(L"run@@12", nullptr, pattern), OK);
    EXPECT_EQ(pattern.suffixDigits, 2u);
    EXPECT_TRUE(matchPattern(pattern, L"run0512", number));
    EXPECT_EQ(number, 5u);
    EXPECT_TRUE(matchPattern(pattern, L"run1", number));
    EXPECT_EQ(number, 0u);

    ASSERT_EQ(parsePattern(L"plain", nullptr, pattern), OK);
    EXPECT_EQ(pattern.width, 0u);
    EXPECT_EQ(pattern.modulus, 0u);
    EXPECT_EQ(parsePattern(L"a@@b@", nullptr, pattern), TooManyPlaceholderGroups);
    EXPECT_EQ(parsePattern(L"@@@@@@@@@", nullptr, pattern), TooLongPlaceholder);
}

TEST(ResultNamePattern, VariablesComeFromTheVariablesSection) {
    variant_bag_t talvo;
    variant_bag_t& variables = *talvo.put(L"variables", variant_bag_t());
    variables.put(L"at", variant_t(L"node{7}"));
    variables.put(L"rank", variant_t(int32_t{3}));  // only text takes part
    const std::wstring host = corekit2::get_fq_host_name();

    EXPECT_EQ(expandVariables(L"r_{hostname}_@@@", &talvo), L"r_" + host + L"_@@@");
    EXPECT_EQ(expandVariables(L"{at}-{rank}-{other}", &talvo), L"node{7}-{rank}-{other}");
    EXPECT_EQ(expandVariables(L"r_{open", &talvo), L"r_{open");
    EXPECT_EQ(expandVariables(L"r_{at}", nullptr), L"r_{at}");
    const variant_bag_t noSection;
    EXPECT_EQ(expandVariables(L"r_{hostname}", &noSection), L"r_{hostname}");

    ResultNamePattern pattern;
    ASSERT_EQ(parsePattern(L"{at}_@@_{at}", &talvo, pattern), OK);
    EXPECT_EQ(pattern.prefix, L"node{7}_") << "the prefix is expanded when parsed";
    EXPECT_EQ(expandPattern(pattern, 4, &talvo), L"node{7}_04_node{7}");

    // A variable right after the number that expands to digits is not read as more number.
    variables.put(L"n", variant_t(L"42"));
    ASSERT_EQ(parsePattern(L"r@@@{n}", &talvo, pattern), OK);
    const std::wstring name = expandPattern(pattern, 7, &talvo);
    EXPECT_EQ(name, L"r00742");
    uint64_t number = 0;
    EXPECT_TRUE(matchPattern(pattern, name, number));
    EXPECT_EQ(number, 7u);
}

TEST(ResultNamePattern, OnlyANumberedLastElementMakesAPathPatterned) {
    std::wstring patterned = L"x/r@@@", plain = L"x/r000", broken = L"x/a@@b@";
    EXPECT_TRUE(ResultDirectoryManager::isPathPatterned(patterned.data()));
    EXPECT_FALSE(ResultDirectoryManager::isPathPatterned(plain.data()));
    EXPECT_FALSE(ResultDirectoryManager::isPathPatterned(broken.data()));
    EXPECT_FALSE(ResultDirectoryManager::isPathPatterned(nullptr));
    EXPECT_EQ(patterned, L"x/r@@@");
}

class Capture final : public log4cplus::Appender {
public:
    ~Capture() override { destructorImpl(); }
    void close() override {}
    std::vector<std::string> lines;
    std::vector<int> levels;

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
        lines.push_back(event.getMessage());
        levels.push_back(event.getLogLevel());
    }
};

TEST(ResultNamePattern, RefusalsAreLoggedWithMessagePatternAndPlace) {
    auto* capture = new Capture;
    log4cplus::SharedAppenderPtr appender(capture);
    log4cplus::Logger logger = log4cplus::Logger::getInstance("talvo");
    logger.addAppender(appender);
    EXPECT_EQ(validate(L"a|b"), ReservedCharacters);
    EXPECT_EQ(validate(L""), EmptyPattern);
    EXPECT_EQ(validate(L"r@@@"), OK);
    logger.removeAppender(appender);

    ASSERT_EQ(capture->lines.size(), 2u);
    EXPECT_EQ(capture->levels, (std::vector<int>{40000, 40000}));
    const std::string reserved = ulib_2_18::to_utf8(toString(ReservedCharacters));
    EXPECT_EQ(capture->lines[0].rfind(reserved + ". Pattern: a|b, at file: ", 0), 0u)
        << capture->lines[0];
    EXPECT_NE(capture->lines[0].find("name_pattern.cpp:"), std::string::npos);
    const std::string empty = ulib_2_18::to_utf8(toString(EmptyPattern));
    EXPECT_EQ(capture->lines[1].rfind(empty + ", at file: ", 0), 0u) << capture->lines[1];
}

}  // namespace
}  // namespace talvo2
