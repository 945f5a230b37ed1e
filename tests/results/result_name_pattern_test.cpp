#include "node/name_pattern.hpp"

#include <gtest/gtest.h>
#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <algorithm>
#include <tuple>
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

class Capture final : public log4cplus::Appender {
public:
    ~Capture() override { destructorImpl(); }
    void close() override {}
    std::vector<std::string> lines;  // "level message"

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
        lines.push_back(std::to_string(event.getLogLevel()) + " " + event.getMessage());
    }
};

TEST(ResultNamePattern, RefusesNamesThatCannotNameADirectory) {
    const std::pair<error_t, std::vector<const wchar_t*>> cases[] = {
        {ReservedDeviceName,
         {L"com1", L"Com1.txt", L"nul", L"LPT@", L"lpt@.x", L"CON", L"aux.r@@@"}},
        {OK,
         {L"COM10", L"A@", L"r@@@", L"x.con", L".", L"..", L"résultats_@@", L"結果", L"r@@@@@@@@"}},
        {ReservedCharacters,
         {L"a<b", L"a>b", L"a:b", L"a\"b", L"x/r@@@", L"x\\r", L"a|b", L"a?b", L"a*b", L"a<@@b@"}},
        {InvalidLastCharacter, {L"r000.", L"r000 "}},
        {EmptyPattern, {L"", nullptr}},
        {TooManyPlaceholderGroups, {L"a@@b@"}},
        {TooLongPlaceholder, {L"r@@@@@@@@@"}},
    };
    auto* capture = new Capture;
    log4cplus::SharedAppenderPtr appender(capture);
    log4cplus::Logger logger = log4cplus::Logger::getInstance("talvo");
    logger.addAppender(appender);
    std::size_t refusals = 0;
    for (const auto& [code, patterns] : cases) {
        for (const wchar_t* pattern : patterns) {
            EXPECT_EQ(validate(pattern), code) << (pattern ? pattern : L"(null)");
            // The checks before parsing log their refusals; parsing logs none.
            refusals +=
                code != OK && code != TooManyPlaceholderGroups && code != TooLongPlaceholder;
        }
    }
    logger.removeAppender(appender);
    // Each refusal is logged at error level (40000): message, pattern when there is one, place.
    EXPECT_EQ(capture->lines.size(), refusals);
    const auto logged = [&](const std::string& start) {
        return std::any_of(capture->lines.begin(), capture->lines.end(), [&](const auto& line) {
            return line.rfind(start, 0) == 0 && line.find("name_pattern.cpp:") != std::string::npos;
        });
    };
    const std::string reserved = ulib_2_18::to_utf8(toString(ReservedCharacters));
    EXPECT_TRUE(logged("40000 " + reserved + ". Pattern: a|b, at file: "));
    EXPECT_TRUE(logged("40000 " + ulib_2_18::to_utf8(toString(EmptyPattern)) + ", at file: "));
}

TEST(ResultNamePattern, ParsesMatchesAndExpands) {
    variant_bag_t talvo;
    variant_bag_t& variables = *talvo.put(L"variables", variant_bag_t());
    variables.put(L"at", variant_t(L"node{7}"));
    variables.put(L"rank", variant_t(int32_t{3}));  // only text takes part
    variables.put(L"n", variant_t(L"42"));
    // {pattern, name, the number read from it (-1: no match), whether the number expands to it}
    const std::tuple<const wchar_t*, const wchar_t*, int64_t, bool> cases[] = {
        {L"r@@@hs", L"r013hs", 13, true},
        {L"r@@@hs", L"r1000hs", 1000, true},
        {L"r@@@hs", L"r012x", 12, false},  // the rest is not compared
        {L"r@@@hs", L"r", -1, false},
        {L"r@@@hs", L"rx12", -1, false},
        {L"r@@@hs", L"R012", -1, false},                      // the prefix is compared exactly
        {L"r@@@hs", L"r99999999999999999999999", -1, false},  // too large
        {L"run@@12", L"run0512", 5, true},  // digits the suffix begins with are not the number's
        {L"run@@12", L"run1", 0, false},
        // A variable right after the number that expands to digits is not read as more number.
        {L"r@@@{n}", L"r00742", 7, true},
        {L"{at}_@@_{at}", L"node{7}_04_node{7}", 4, true},
    };
    for (const auto& [text, name, number, expands] : cases) {
        SCOPED_TRACE(ulib_2_18::to_utf8(std::wstring(text) + L" ~ " + name));
        ResultNamePattern pattern;
        ASSERT_EQ(parsePattern(text, &talvo, pattern), OK);
        uint64_t read = 0;
        EXPECT_EQ(matchPattern(pattern, name, read) ? static_cast<int64_t>(read) : -1, number);
        if (expands) {
            EXPECT_EQ(expandPattern(pattern, number, &talvo), name);
        }
    }
    ResultNamePattern pattern;
    ASSERT_EQ(parsePattern(L"{at}_@@_{at}", &talvo, pattern), OK);
    EXPECT_EQ(expandPattern(pattern, 4, nullptr), L"node{7}_04_{at}") << "prefix expanded at parse";
    EXPECT_EQ(parsePattern(L"a@@b@", nullptr, pattern), TooManyPlaceholderGroups);
    EXPECT_EQ(parsePattern(L"@@@@@@@@@", nullptr, pattern), TooLongPlaceholder);

    const variant_bag_t noSection;
    const std::wstring host = corekit2::get_fq_host_name();
    EXPECT_EQ(expandVariables(L"r_{hostname}_@@@", &talvo), L"r_" + host + L"_@@@");
    EXPECT_EQ(expandVariables(L"{at}-{rank}-{other}", &talvo), L"node{7}-{rank}-{other}");
    EXPECT_EQ(expandVariables(L"r_{open", &talvo), L"r_{open");
    EXPECT_EQ(expandVariables(L"r_{at}", nullptr), L"r_{at}");
    EXPECT_EQ(expandVariables(L"r_{hostname}", &noSection), L"r_{hostname}");
}

TEST(ResultNamePattern, OnlyANumberedLastElementMakesAPathPatterned) {
    std::wstring patterned = L"x/r@@@", plain = L"x/r000", broken = L"x/a@@b@";
    EXPECT_TRUE(ResultDirectoryManager::isPathPatterned(patterned.data()));
    EXPECT_FALSE(ResultDirectoryManager::isPathPatterned(plain.data()));
    EXPECT_FALSE(ResultDirectoryManager::isPathPatterned(broken.data()));
    EXPECT_EQ(patterned, L"x/r@@@");  // the caller's text is left as it was
}

}  // namespace
}  // namespace talvo2
