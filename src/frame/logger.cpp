#include "frame/logger.hpp"

namespace talvo2 {

log4cplus::Logger& logger() {
    static log4cplus::Logger instance = log4cplus::Logger::getInstance("talvo");
    return instance;
}

}  // namespace talvo2
