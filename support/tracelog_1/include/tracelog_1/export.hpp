#pragma once

// Symbols marked TRACELOG_1_API form the library's binary interface; everything else is hidden.
#if defined(_WIN32)
#if defined(TRACELOG_1_BUILDING)
#define TRACELOG_1_API __declspec(dllexport)
#else
#define TRACELOG_1_API __declspec(dllimport)
#endif
#else
#define TRACELOG_1_API __attribute__((visibility("default")))
#endif
