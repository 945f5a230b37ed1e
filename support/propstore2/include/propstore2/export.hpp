#pragma once

// Symbols marked PROPSTORE2_API form the library's binary interface; everything else is hidden.
#if defined(_WIN32)
#if defined(PROPSTORE2_BUILDING)
#define PROPSTORE2_API __declspec(dllexport)
#else
#define PROPSTORE2_API __declspec(dllimport)
#endif
#else
#define PROPSTORE2_API __attribute__((visibility("default")))
#endif
