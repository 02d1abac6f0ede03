// A stage module built against the platform library of another ABI version:
// it needs libductrine-platform.so.1 (ductrine-platform-1.dll), which is not
// beside pipe, so the system's loader refuses it before any of it runs.
#include <cstdint>

#if defined(_WIN32)
#define STALE_IMPORT __declspec(dllimport)
#define STALE_EXPORT __declspec(dllexport)
#else
#define STALE_IMPORT
#define STALE_EXPORT __attribute__((visibility("default")))
#endif

extern "C" STALE_IMPORT int DuctrineStalePlatform();

extern "C" STALE_EXPORT std::int32_t BeginStage(void*) { return DuctrineStalePlatform(); }
