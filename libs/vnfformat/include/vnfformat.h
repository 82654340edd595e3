/* The dictation file format library: creates, fills, saves and reads .iaf
 * dictation files. A file is a RIFF/WAVE file that standard audio tools open,
 * with the recording parameters in its "fmt " chunk, an empty "data" chunk for
 * the recorder, and the named text fields in a chunk of its own.
 *
 * Handles are 32-bit integers, 0 meaning none. Handle 0 or a closed handle
 * passed to any function does no harm. Text is stored byte for byte as given.
 * Every save is atomic: a crash never leaves a partly written file at the path.
 * A file can also be built unnamed and published once, complete: a crash
 * before the publish leaves nothing under its name.
 */
#ifndef VNFFORMAT_H
#define VNFFORMAT_H

#include <stdint.h>

#if defined(_WIN32)
#ifdef VNF_BUILDING
#define VNF_API __declspec(dllexport)
#else
#define VNF_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VNF_API __attribute__((visibility("default")))
#else
#define VNF_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status values; 0 is success. */
#define VNF_OK 0
#define VNF_E_HANDLE 1   /* handle 0, unknown, closed, or opened for reading only */
#define VNF_E_ARGUMENT 2 /* a null name or value, or a field too large to store (the file then
                            can no longer be saved: it would lack that field) */
#define VNF_E_IO 3       /* the file could not be written (folder gone, disk full, ...) */
#define VNF_E_EXISTS 4   /* a file appeared at the path before the first save */

/* Writing. CreateVNFFile returns 0 when the path already exists or the file
 * cannot be created there; an existing file is never truncated or replaced.
 * The file appears at the path at its first successful save. */
VNF_API int32_t CreateVNFFile(const char *path);
VNF_API int16_t VNF_SetRecordWaveParams(int32_t handle, int32_t sample_rate, int16_t channels, int16_t format);
VNF_API int16_t AddVNFField(int32_t handle, const char *name, const char *value);
VNF_API int16_t SaveVNFFile(int32_t handle);
VNF_API void CloseVNFFile(int32_t handle);

/* Building a file that appears only complete. VNFCreateFileUnnamed is
 * CreateVNFFile, except that saves write the file without giving it its name;
 * VNFPublishFile then makes the last save durable and puts it under its name
 * (VNF_E_EXISTS, with nothing changed, when something is there already).
 * Closing an unpublished handle leaves nothing behind. After the publish the
 * handle saves like a plain one. */
VNF_API int32_t VNFCreateFileUnnamed(const char *path);
VNF_API int16_t VNFPublishFile(int32_t handle);

/* Where the file system cannot hold unnamed files, a file being built has a
 * hidden name (".vnf-*.tmp"). This removes such files in folder that a
 * process which died left behind (older than a minute and held by nobody);
 * returns how many. Where the file system has neither no-replace renames
 * nor links, a publish is a rename checked under an exclusive flock of
 * ".vnf-publish.lock" in the folder: any other program that gives names
 * there must hold that lock for its own check and rename. */
VNF_API int32_t VNFRemoveStaleTemporaries(const char *folder);

/* Why the process's last create, save or publish failed: the step
 * and the system's own words, as in "save the file: No space left on
 * device". Copied like a field value below; returns its full length, 0
 * when nothing failed yet. A call that succeeds leaves it as it was. */
VNF_API int32_t VNFGetLastFailure(char *buffer, int32_t size);

/* Reading. VNFOpenFileRead returns 0 when the file is missing or not a
 * dictation file; close the handle with CloseVNFFile. */
VNF_API int32_t VNFOpenFileRead(const char *path);
VNF_API int16_t VNFGetRecordWaveParams(int32_t handle, int32_t *sample_rate, int16_t *channels, int16_t *format);
/* Number of fields, or -1 for a bad handle. */
VNF_API int32_t VNFGetFieldCount(int32_t handle);
/* Copy field `index` (0-based) into buffer (at most size - 1 bytes and a NUL)
 * and return its full length; -1 for a bad handle or index. A null buffer
 * or size 0 only asks for the length. */
VNF_API int32_t VNFGetFieldName(int32_t handle, int32_t index, char *buffer, int32_t size);
VNF_API int32_t VNFGetFieldValue(int32_t handle, int32_t index, char *buffer, int32_t size);

#ifdef __cplusplus
}
#endif

#endif /* VNFFORMAT_H */
