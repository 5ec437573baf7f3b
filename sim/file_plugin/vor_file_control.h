/* Interface of the stand-in file plug-in VOR_File.dll: its exports, the file object it hands out,
 * and the test-support exports that let tests steer it and read back what it was given.
 * Resolve the functions with GetProcAddress by name.
 */
#ifndef VOR_FILE_CONTROL_H
#define VOR_FILE_CONTROL_H

#include <stdint.h>
#include <windows.h>

/* Error codes of the object operations (0 = success). */
#define VOR_FILE_ERR_BAD_ARG   0x80120001u /* null name, record or picture; width or height 0 */
#define VOR_FILE_ERR_NOT_OPEN  0x80120002u /* Push with no file open */
#define VOR_FILE_ERR_TOO_LARGE 0x80120003u /* the page or the file would pass the 4 GiB TIFF limit */
#define VOR_FILE_ERR_CREATE    0x80120004u /* the file cannot be created */
#define VOR_FILE_ERR_WRITE     0x80120005u /* writing to the file failed */

/* The image-description record: its size as snapshotted, and where Open finds the geometry
 * (each a little-endian uint32).  Its first 8 bytes hold the picture buffer address. */
#define VOR_FILE_INFO_SIZE   0x168
#define VOR_FILE_INFO_WIDTH  0x01C
#define VOR_FILE_INFO_HEIGHT 0x020
#define VOR_FILE_INFO_BITS   0x0D0

#ifdef __cplusplus

/* The file object: its first member points at a table of exactly these four operations, in this
 * order, each taking the object as its first argument.  No virtual destructor on purpose (it
 * would add table slots, and not the same number with every compiler): destroy an object with
 * VOR_File_DeleteObject. */
class VorFileObject {
public:
    /* Creates the file (replacing one of that name) and keeps the geometry read from the record. */
    virtual int32_t Open(const char *fileName, void *imageInfo, int32_t two, const char *tif, int32_t flags,
                         int64_t zero1, int32_t openValue, int64_t zero2) = 0;
    /* Unused slot; returns 0. */
    virtual int32_t Reserved() = 0;
    /* Appends one page of width x height pixels read from picPtr. */
    virtual int32_t Push(void *imageInfo, const void *picPtr, int32_t four, void *scratch, int32_t one,
                         int16_t zero) = 0;
    /* Finishes and closes the file; returns 0, also when none is open. */
    virtual int32_t Close() = 0;

protected:
    ~VorFileObject() = default;
};

extern "C" {
#else
typedef struct VorFileObject VorFileObject;
#endif

/* Plug-in exports. */
typedef int32_t (WINAPI *VorFilePlugInitFn)(const char *client);
typedef int32_t (WINAPI *VorFilePlugUnInitFn)(void);
typedef VorFileObject *(WINAPI *VorFileCreateObjectFn)(void *reserved, const char *client, const char *client2);
typedef int32_t (WINAPI *VorFileDeleteObjectFn)(VorFileObject *object);

/* Trace of the plug-in exports and object operations, oldest first, at most 4096 lines kept
 * (further calls are counted, not kept).  Line formats are listed in sim/file_plugin/README.md.
 * TraceLine copies line `index` into `out` (always zero-terminated, truncated to `size`) and
 * returns its full length, or -1 for an index out of range. */
typedef int32_t (WINAPI *VorFileSimTraceCountFn)(void);
typedef int32_t (WINAPI *VorFileSimTraceLineFn)(int32_t index, char *out, int32_t size);
typedef void    (WINAPI *VorFileSimTraceClearFn)(void);

/* Copy the first min(size, VOR_FILE_INFO_SIZE) bytes of the record as it was at the last Open
 * (OpenInfo) or the last Push (PushInfo) and return how many were copied; 0 before the first
 * such call, or when that call had no record. */
typedef int32_t (WINAPI *VorFileSimOpenInfoFn)(void *out, int32_t size);
typedef int32_t (WINAPI *VorFileSimPushInfoFn)(void *out, int32_t size);

/* From now on every Open (FailOpen) or Push (FailPush) fails with `code` and changes nothing on
 * disk: a failing Open creates no file, a failing Push writes nothing.  Code 0 stops it.
 * (A failing Open still closes a file the object had open, as every Open does.) */
typedef void (WINAPI *VorFileSimFailOpenFn)(uint32_t code);
typedef void (WINAPI *VorFileSimFailPushFn)(uint32_t code);

/* Makes every call of `operation` sleep `ms` milliseconds first, before the plug-in's lock is
 * taken, so other calls (of any operation, on other threads) go on meanwhile.  `operation` is one
 * of "VOR_File_PlugInit", "VOR_File_PlugUnInit", "VOR_File_CreateObject", "VOR_File_DeleteObject",
 * "Open", "Reserved", "Push", "Close"; other names are ignored.  ms 0 removes the delay; the value
 * is read when a call starts. */
typedef void (WINAPI *VorFileSimSetDelayFn)(const char *operation, uint32_t ms);

/* Calls of `operation` that have started (counted on entry, before the delay) and that have
 * returned, since the load or the last reset; -1 for an unknown name.  Read without the lock. */
typedef int32_t (WINAPI *VorFileSimCallsEnteredFn)(const char *operation);
typedef int32_t (WINAPI *VorFileSimCallsReturnedFn)(const char *operation);

/* Clears the trace, both record snapshots, both failures, every delay and the call counters.
 * Objects and their files are kept. */
typedef void (WINAPI *VorFileSimResetFn)(void);

#ifdef __cplusplus
}
#endif

#endif /* VOR_FILE_CONTROL_H */
