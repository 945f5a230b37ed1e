#include <gtest/gtest.h>
#include <log4cplus/fileappender.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <cstdio>

#include "tracelog_1/tracelog.hpp"
#include "util/test_util.hpp"

TEST(TracelogTest, StandardErrorServesUntilTheHostAddsAnAppender) {
    talvo2::test::TempDir dir;
    const std::string errors = (dir.path() / "stderr.txt").string();
    const std::string host = (dir.path() / "host.txt").string();
    // Logging and standard error are process-wide: change them only in a child.
    EXPECT_EQ(talvo2::test::runInChild([&] {
                  ASSERT_TRUE(std::freopen(errors.c_str(), "w", stderr));
                  EXPECT_FALSE(tracelog_1::configureComponentLogger(nullptr));
                  EXPECT_FALSE(tracelog_1::configureComponentLogger(""));
                  ASSERT_TRUE(tracelog_1::configureComponentLogger("x"));
                  ASSERT_TRUE(tracelog_1::configureComponentLogger("x"));  // one appender still
                  log4cplus::Logger logger = log4cplus::Logger::getInstance("x");
                  EXPECT_EQ(logger.getAllAppenders().size(), 1u);
                  ASSERT_TRUE(log4cplus::Logger::getRoot().getAllAppenders().empty());
                  LOG4CPLUS_ERROR(logger, "first message");
                  EXPECT_EQ(talvo2::test::readFile(errors), "x ERROR: first message\n");

                  // Once the host gives the root logger an appender, only that one writes.
                  log4cplus::Logger::getRoot().addAppender(
                      log4cplus::SharedAppenderPtr(new log4cplus::FileAppender(host)));
                  LOG4CPLUS_ERROR(logger, "second message");
                  EXPECT_NE(talvo2::test::readFile(host).find("second message"), std::string::npos);
                  EXPECT_EQ(talvo2::test::readFile(errors), "x ERROR: first message\n");
              }),
              0);
}
