#pragma once

// Symbols marked TALVO2_API form the library's binary interface; everything else is hidden.
#if defined(_WIN32)
#if defined(TALVO2_BUILDING)
#define TALVO2_API __declspec(dllexport)
#else
#define TALVO2_API __declspec(dllimport)
#endif
#else
#define TALVO2_API __attribute__((visibility("default")))
#endif
