#include "tracelog_1/tracelog.hpp"

#include <log4cplus/appender.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/initializer.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>

#include <memory>
#include <mutex>
#include <string>

namespace tracelog_1 {

namespace {

// Writes to standard error only while nobody else listens: once the root logger has an appender,
// the host has set logging up and its appenders receive the component's messages as well.
class FallbackAppender final : public log4cplus::Appender {
public:
    FallbackAppender() : m_console(true /*standard error*/, true /*flush each line*/) {
        m_console.setLayout(std::make_unique<log4cplus::PatternLayout>("%c %p: %m%n"));
    }
    ~FallbackAppender() override { destructorImpl(); }

    void close() override { m_console.close(); }

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
        if (!log4cplus::Logger::getRoot().getAllAppenders().empty()) return;
        m_console.doAppend(event);
    }

private:
    log4cplus::ConsoleAppender m_console;
};

const char* const kAppenderName = "tracelog_1.fallback";

}  // namespace

bool configureComponentLogger(const char* name) {
    if (!name || !*name) return false;
    log4cplus::initialize();
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    log4cplus::Logger logger = log4cplus::Logger::getInstance(name);
    if (!logger.getAppender(kAppenderName)) {
        log4cplus::SharedAppenderPtr appender(new FallbackAppender);
        appender->setName(kAppenderName);
        logger.addAppender(appender);
    }
    return true;
}

}  // namespace tracelog_1
