/* vorlabview.h: the exports of vorlabview.dll (64-bit), for LabVIEW's Import Shared Library
 * wizard and for C and C++ callers.  Every function but SetLVRTModule and the three node
 * callbacks returns an error code, 0 for success; VGetErrorText turns any code into text.
 *
 * The header stands alone: it needs no other header.  It takes the fixed-width integer types
 * and WINAPI from the system headers when they were read before it, and otherwise defines them
 * itself (as they are on Windows).  A C99 caller that includes <stdint.h> at all should include
 * it first. */
#ifndef VORLABVIEW_H
#define VORLABVIEW_H

#ifndef WINAPI
#if defined(__GNUC__) && !defined(_WIN32)
#define WINAPI /* a build of the module's pure logic for another system, as its fuzzing is */
#else
#define WINAPI __stdcall
#endif
#endif

#if !defined(INT32_MAX) && !defined(_STDINT_H) && !defined(_STDINT) && !defined(_STDINT_H_)
typedef signed char int8_t;
typedef short int16_t;
typedef int int32_t;
typedef long long int64_t;
typedef unsigned char uint8_t;
typedef unsigned short uint16_t;
typedef unsigned int uint32_t;
typedef unsigned long long uint64_t;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes of the module's own (bit 31 set: an error; bit 30 set in a code would make it a
 * warning).  Codes of the camera SDKs and Windows error numbers pass through unchanged. */
#define VOR_OK                        0x00000000u
#define VOR_ERR_WRONG_PARAMETER       0xA00A3001u /* a null pointer or handle */
#define VOR_ERR_BUFFER_NOT_REGISTERED 0xA00A3003u /* no such buffer for this camera */
#define VOR_ERR_OPTION_NOT_AVAILABLE  0x800A3004u /* camera not registered, family, library or entry point missing */
#define VOR_ERR_TIMEOUT               0xA00A3005u /* no buffer was filled within the time-out */
#define VOR_ERR_BUFFER_TOO_SMALL      0xA00A3006u /* the image does not fit the buffer or the array */
#define VOR_ERR_BUFFER_NOT_FILLED     0x800A300Bu /* the signalled buffer's status says it is not filled */
#define VOR_ERR_WAIT_CANCELLED        0x800A2010u /* the wait was cancelled: VCancelWait, Vcleanup or an abort */
#define VOR_ERR_QD4_ENTRY_MISSING     0xFFFFFC1Au /* -998: a QD4 entry point is missing */
#define VOR_ERR_QD4_ALLOCATE_MISSING  0xFFFFFC19u /* -999: only VOR_AllocateBuffer is missing */

/* Camera families. */
#define VOR_FAMILY_LANTICAM 1
#define VOR_FAMILY_TORNIO   2
#define VOR_FAMILY_QD4      3

/* Time-out of the waits that never ends (-1 as a LabVIEW I32). */
#define VOR_WAIT_FOREVER 0xFFFFFFFFu

/* LabVIEW array handle: a pointer to a pointer to a block that starts with one 32-bit size
 * per dimension, followed by the elements.  The caller sizes the array. */
typedef void **VLVArrayHandle;

/* LabVIEW string handle: a pointer to a pointer to a block holding a signed 32-bit count
 * followed by that many characters, without a terminator. */
typedef struct VLVString {
  int32_t cnt;
  char str[1];
} VLVString, *VLVStringPtr, **VLVStringHandle;

uint32_t WINAPI VInitLibrary(void *hCam, int32_t family);                                      /* 1 */
uint32_t WINAPI VAllocateBuffer(void *hCam, int16_t *bufNr, uint32_t size, uint32_t unused,
                                uint32_t *event);                                               /* 2 */
uint32_t WINAPI VGetImageFromCamRam(void *hCam, uint16_t segment, uint32_t image, uint32_t unused,
                                    int16_t bufNr, VLVArrayHandle image1D);                     /* 3 */
uint32_t WINAPI VGetImageFromBuffer(void *hCam, int16_t bufNr, uint16_t width, uint16_t height,
                                    uint16_t bitsPerPixel, VLVArrayHandle image1D);             /* 4 */
uint32_t WINAPI Vcleanup(void *hCam);                                                           /* 5 */
uint32_t WINAPI VGetErrorText(uint32_t code, VLVStringHandle text);                             /* 6 */
uint32_t WINAPI VGetImageFromBuffer2D(void *hCam, int16_t bufNr, uint16_t width, uint16_t height,
                                      uint16_t bitsPerPixel, VLVArrayHandle image2D);           /* 7 */
uint32_t WINAPI VGetImageExFromCamRam(void *hCam, uint16_t segment, uint32_t firstImage,
                                      uint32_t lastImage, int16_t bufNr, uint16_t width,
                                      uint16_t height, uint16_t bitsPerPixel,
                                      VLVArrayHandle image1D);                                  /* 8 */
uint32_t WINAPI VWaitForBuffers(void *hCam, int16_t *bufNr, uint32_t timeoutMs);                /* 9 */
uint32_t WINAPI VFreeBuffer(void *hCam, int32_t bufNr);                                         /* 10 */
uint32_t WINAPI VInitPushFile(void *hCam, const char *fileName, uint16_t width, uint16_t height,
                              uint16_t bitsPerPixel, int32_t mode, int32_t openValue);          /* 11 */
uint32_t WINAPI VPushImageToFile(void *hCam, int16_t bufNr);                                    /* 12 */
uint32_t WINAPI VClosePushFile(void *hCam);                                                     /* 13 */
void     WINAPI SetLVRTModule(void *runtimeModule);                                             /* 14 */

/* Waits for the buffer the camera filled first (queue order); `pending` (may be null) receives
 * how many more are filled and waiting; `instance` is the node's Instance Data Pointer (may be
 * null), so that aborting the VI ends the wait.  A filled buffer is reported to one wait only,
 * until it is handed back with VAllocateBuffer. */
uint32_t WINAPI VWaitForBuffersEx(void *hCam, int16_t *bufNr, uint32_t timeoutMs, int32_t *pending,
                                  void **instance);                                            /* 15 */
/* Node callbacks (Callbacks tab: Reserve, Unreserve, Abort); each returns 0. */
int32_t  WINAPI VReserve(void **instance);                                                      /* 16 */
int32_t  WINAPI VUnreserve(void **instance);                                                    /* 17 */
int32_t  WINAPI VAbort(void **instance);                                                        /* 18 */
/* A stop button: ends every wait of the camera in progress with VOR_ERR_WAIT_CANCELLED; when
 * none is in progress, the camera's next wait returns it at once (Vcleanup and VInitLibrary of
 * the camera clear such a kept stop). */
uint32_t WINAPI VCancelWait(void *hCam);                                                        /* 19 */
/* As VInitLibrary, with the node's Instance Data Pointer (callbacks VReserve, VUnreserve,
 * VAbort on the same node): when the VI that ran the node stops, normally or by Abort, its
 * camera's waits end, a recording it owns is closed and the camera is cleaned up as by
 * Vcleanup.  A null instance or an empty cell behaves as VInitLibrary. */
uint32_t WINAPI VInitLibraryEx(void *hCam, int32_t family, void **instance);                     /* 20 */

/* The counters VGetCameraStats fills, in this order.  Each starts at 0 with the camera's
 * VInitLibrary or VInitLibraryEx. */
enum VorCameraStat {
  VOR_STAT_BUFFERS = 0,        /* buffers registered now */
  VOR_STAT_BUFFER_BYTES,       /* their bytes */
  VOR_STAT_FRAMES,             /* waits (either export) that returned a filled buffer */
  VOR_STAT_TIMEOUTS,           /* waits that timed out */
  VOR_STAT_CANCELS,            /* waits that were cancelled */
  VOR_STAT_OTHER_ENDS,         /* waits that ended with any other code */
  VOR_STAT_MAX_PENDING,        /* the highest `pending` a wait reported */
  VOR_STAT_STARVED,            /* waits that found every buffer the camera held filled (only waits given `pending`) */
  VOR_STAT_COPIES,             /* images copied into arrays */
  VOR_STAT_BYTES_COPIED,       /* their bytes */
  VOR_STAT_PAGES_PUSHED,       /* pages pushed to the recording */
  VOR_STAT_US_TO_LAST_FRAME,   /* microseconds from the registration to the last frame delivered, 0 when none */
  VOR_STAT_US_SINCE_INIT,      /* microseconds since the registration */
  VOR_STAT_COUNT
};

/* Fills the first min(count, VOR_STAT_COUNT) of `counters` (an array of count U64) with the
 * camera's statistics. */
uint32_t WINAPI VGetCameraStats(void *hCam, uint64_t *counters, int32_t count);                 /* 21 */
/* A readable report of the module's state (version, log, bound libraries, cameras, recording)
 * into a LabVIEW string. */
uint32_t WINAPI VGetState(VLVStringHandle text);                                                /* 22 */

#ifdef __cplusplus
}
#endif

#endif /* VORLABVIEW_H */
