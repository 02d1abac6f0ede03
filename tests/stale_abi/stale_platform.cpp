// Stands for the platform library of another ABI version (major version 1),
// which the stale module below is linked against.
#if defined(_WIN32)
#define STALE_API __declspec(dllexport)
#else
#define STALE_API __attribute__((visibility("default")))
#endif

extern "C" STALE_API int DuctrineStalePlatform() { return 1; }
