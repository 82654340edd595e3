/* The audio file controller: told at start-up which format library to use. */
#ifndef FILECONTROLLER_H
#define FILECONTROLLER_H

#include <stdint.h>

#if defined(_WIN32)
#ifdef FC_BUILDING
#define FC_API __declspec(dllexport)
#else
#define FC_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define FC_API __attribute__((visibility("default")))
#else
#define FC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Loads the format library `name` (a file name, no folder) from the
 * controller's own folder. Returns 1 when it is loaded and usable, else 0. */
FC_API int32_t LoadFileDriver(const char *name);

/* 1 when a usable format driver is loaded, 0 otherwise; any argument is accepted. */
FC_API int32_t GetCurrentState(int32_t what);

#ifdef __cplusplus
}
#endif

#endif /* FILECONTROLLER_H */
