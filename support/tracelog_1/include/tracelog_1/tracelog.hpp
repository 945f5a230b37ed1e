#pragma once

#include "tracelog_1/export.hpp"

namespace tracelog_1 {

// Prepares the log4cplus logger `name` for a component library. Until the host configures
// log4cplus itself (gives the root logger an appender), messages of the logger go to standard
// error; from then on they reach only the host's appenders. Levels are left to the host.
// Idempotent and thread-safe. Returns false only for a null or empty name.
TRACELOG_1_API bool configureComponentLogger(const char* name);

}  // namespace tracelog_1
