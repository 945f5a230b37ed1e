#pragma once

// Symbols marked NOTIFY2_API form the library's binary interface; everything else is hidden.
#if defined(_WIN32)
#if defined(NOTIFY2_BUILDING)
#define NOTIFY2_API __declspec(dllexport)
#else
#define NOTIFY2_API __declspec(dllimport)
#endif
#else
#define NOTIFY2_API __attribute__((visibility("default")))
#endif
