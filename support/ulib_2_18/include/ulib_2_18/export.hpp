#pragma once

// Symbols marked ULIB_2_18_API form the library's binary interface; everything else is hidden.
#if defined(_WIN32)
#if defined(ULIB_2_18_BUILDING)
#define ULIB_2_18_API __declspec(dllexport)
#else
#define ULIB_2_18_API __declspec(dllimport)
#endif
#else
#define ULIB_2_18_API __attribute__((visibility("default")))
#endif
