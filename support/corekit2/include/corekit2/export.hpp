#pragma once

// Symbols marked COREKIT2_API form the library's binary interface; everything else is hidden.
#if defined(_WIN32)
#if defined(COREKIT2_BUILDING)
#define COREKIT2_API __declspec(dllexport)
#else
#define COREKIT2_API __declspec(dllimport)
#endif
#else
#define COREKIT2_API __attribute__((visibility("default")))
#endif
