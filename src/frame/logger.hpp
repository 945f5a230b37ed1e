#pragma once

#include <log4cplus/logger.h>

namespace talvo2 {

// The library's logger, "talvo". Configured at load; what the host does with it is its own affair.
log4cplus::Logger& logger();

}  // namespace talvo2
