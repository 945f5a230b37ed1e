#include <fcntl.h>
#include <gtest/gtest.h>
#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <log4cplus/spi/loggingevent.h>
#include <unistd.h>

#include "tracelog_1/tracelog.hpp"
#include "util/test_util.hpp"

namespace {

// Stands for the appender a host installs when it configures logging.
class Collector final : public log4cplus::Appender {
public:
    ~Collector() override { destructorImpl(); }
    void close() override {}
    std::vector<std::string> messages;

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
        messages.push_back(event.getMessage());
    }
};

}  // namespace

TEST(TracelogTest, StandardErrorServesUntilTheHostAddsAnAppender) {
    talvo2::test::TempDir dir;
    const boost::filesystem::path errors = dir.path() / "stderr.txt";
    // Logging and the standard error descriptor are process-wide: change them only in a child.
    EXPECT_EQ(talvo2::test::runInChild([&] {
                  const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                  ASSERT_GE(fd, 0);
                  ASSERT_EQ(::dup2(fd, STDERR_FILENO), STDERR_FILENO);
                  ::close(fd);

                  EXPECT_FALSE(tracelog_1::configureComponentLogger(nullptr));
                  EXPECT_FALSE(tracelog_1::configureComponentLogger(""));
                  ASSERT_TRUE(tracelog_1::configureComponentLogger("x"));
                  ASSERT_TRUE(tracelog_1::configureComponentLogger("x"));  // one appender still
                  log4cplus::Logger logger = log4cplus::Logger::getInstance("x");
                  EXPECT_EQ(logger.getAllAppenders().size(), 1u);
                  ASSERT_TRUE(log4cplus::Logger::getRoot().getAllAppenders().empty());
                  LOG4CPLUS_ERROR(logger, "first message");
                  const std::string early = talvo2::test::readFile(errors);
                  EXPECT_NE(early.find("first message"), std::string::npos) << early;

                  auto* collector = new Collector;
                  log4cplus::Logger::getRoot().addAppender(log4cplus::SharedAppenderPtr(collector));
                  LOG4CPLUS_ERROR(logger, "second message");
                  EXPECT_EQ(collector->messages, std::vector<std::string>{"second message"});
                  EXPECT_EQ(talvo2::test::readFile(errors), early);
              }),
              0);
}
