// The one export macro. Everything is compiled with hidden visibility; only what is marked
// N95_EXPORT leaves a shared library (the plug-in's four functions, the stand-in libraries'
// entry points).
#pragma once

#if defined(_WIN32)
#define N95_EXPORT __declspec(dllexport)
#define N95_IMPORT __declspec(dllimport)
#else
#define N95_EXPORT __attribute__((visibility("default")))
#define N95_IMPORT __attribute__((visibility("default")))
#endif
