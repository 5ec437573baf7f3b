/* vorlabview.h: the exports of vorlabview.dll (64-bit), for LabVIEW's Import Shared Library
 * wizard and for C and C++ callers.  Every function but SetLVRTModule and the three node
 * callbacks returns a 32-bit result code, 0 for success; VGetErrorText turns any code into text.
 *
 * The header stands alone: it needs no other header and no preprocessor definitions.
 *  - WINAPI is __stdcall unless the system headers defined it already.
 *  - The fixed-width integer names (int16_t, int32_t, uint16_t, uint32_t, uint64_t) are the
 *    stdint forms, which the wizard's parser knows as its own numeric types.  64-bit integers
 *    are written uint64_t everywhere, never unsigned __int64 or unsigned long long.  A C or C++
 *    compiler that has not read <stdint.h> gets them from the typedefs below; a C99 caller that
 *    includes <stdint.h> at all should include it first.
 *  - Each prototype carries its calling convention; the comment above it says how to set the
 *    Call Library Function Node: each parameter's type and how it is passed, and the thread.
 *
 * After an import, set by hand what the wizard cannot tell from C: array and string handles,
 * the Instance Data Pointer and the Callbacks tab, the counters array of VGetCameraStats (see
 * the LabVIEW guide, labview.md).
 *
 * Classifying a result (the same rule as the LabVIEW guide's error sub-VI):
 *   0                                  success
 *   VOR_ERR_TIMEOUT (0xA00A3005)       not an error: no buffer was filled in time; wait again
 *   VOR_ERR_WAIT_CANCELLED (0x800A2010) not an error: a stop (VCancelWait, Vcleanup or the end
 *                                      of the VI) ended the wait; leave the loop
 *   1 to 0xFFFF                        an error: a Windows error number, for example 2 (file not
 *                                      found), 126 (module not found: the SDK library or a DLL
 *                                      it needs), 193 (not a 64-bit library, e.g. a 32-bit SDK
 *                                      DLL), 8 (not enough memory)
 *   bit 30 set and bit 31 clear        a warning (0x40000000 to 0x7FFFFFFF)
 *   anything else                      an error.  This includes VOR_ERR_QD4_ENTRY_MISSING (-998)
 *                                      and VOR_ERR_QD4_ALLOCATE_MISSING (-999): bit 30 is set in
 *                                      them, and their text says "warning", but they are errors.
 */
#ifndef VORLABVIEW_H
#define VORLABVIEW_H

#ifndef WINAPI
#if defined(__GNUC__) && !defined(_WIN32)
#define WINAPI /* a build of the module's pure logic for another system, as its fuzzing is */
#else
#define WINAPI __stdcall
#endif
#endif

/* Only for C and C++ compilers that have not read <stdint.h>: the wizard defines none of these
 * compiler macros and takes the names as its own types. */
#if (defined(__GNUC__) || defined(_MSC_VER)) && !defined(INT32_MAX) && !defined(_STDINT_H) && \
    !defined(_STDINT) && !defined(_STDINT_H_)
typedef short int16_t;
typedef int int32_t;
typedef unsigned short uint16_t;
typedef unsigned int uint32_t;
typedef unsigned long long uint64_t;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of the module's own.  Codes of the camera SDKs, of the file plug-in and Windows
 * error numbers pass through unchanged. */
#define VOR_OK                        0x00000000u
#define VOR_ERR_WRONG_PARAMETER       0xA00A3001u /* a null pointer, or a value that is not a LabVIEW handle */
#define VOR_ERR_BUFFER_NOT_REGISTERED 0xA00A3003u /* no such buffer for this camera; from VGetErrorText and VGetState: the string could not be resized */
#define VOR_ERR_OPTION_NOT_AVAILABLE  0x800A3004u /* camera not registered, family, library or entry point missing, recording refused */
#define VOR_ERR_TIMEOUT               0xA00A3005u /* no buffer was filled within the time-out: not an error */
#define VOR_ERR_BUFFER_TOO_SMALL      0xA00A3006u /* the image does not fit the buffer or the array */
#define VOR_ERR_BUFFER_NOT_FILLED     0x800A300Bu /* the signalled buffer's status says it is not filled */
#define VOR_ERR_WAIT_CANCELLED        0x800A2010u /* the wait was cancelled (VCancelWait, Vcleanup, Abort): not an error */
#define VOR_ERR_QD4_ENTRY_MISSING     0xFFFFFC1Au /* -998: a QD4 entry point is missing; an error */
#define VOR_ERR_QD4_ALLOCATE_MISSING  0xFFFFFC19u /* -999: only VOR_AllocateBuffer is missing; an error */

/* Camera families: the values start at 1.  0 and values above 3 register a camera without a
 * library, so later calls of it return VOR_ERR_OPTION_NOT_AVAILABLE. */
#define VOR_FAMILY_LANTICAM 1
#define VOR_FAMILY_TORNIO   2
#define VOR_FAMILY_QD4      3

/* Time-out of the waits that never ends (-1 as a LabVIEW I32; a DBL -1 coerces to 0, a poll). */
#define VOR_WAIT_FOREVER 0xFFFFFFFFu

/* LabVIEW array handle: a pointer to a pointer to a block that starts with one 32-bit size
 * per dimension, followed by the elements.  The caller sizes the array; the module never
 * resizes it.  Node setting: Array, Array Handle. */
typedef void **VLVArrayHandle;

/* LabVIEW string: a signed 32-bit count followed by that many characters, no terminator. */
struct VLVString {
  int32_t cnt;
  char str[1];
};
/* A pointer to the string's block, for C callers that build one. */
typedef struct VLVString *VLVStringPtr;
/* LabVIEW string handle: a pointer to a pointer to the block.  Node setting: String, String
 * Handle.  The module resizes it through LabVIEW's memory manager. */
typedef struct VLVString **VLVStringHandle;

/* Node settings common to every export: library vorlabview.dll, calling convention stdcall
 * (WINAPI), run in any thread.  hCam is always Numeric, unsigned pointer-sized integer, passed
 * by value: the camera handle the SDK gave, compared by value and passed on to the SDK. */

/* Binds the family's SDK library and registers the camera.
 * Node: return U32; hCam pointer-sized by value; family I32 by value (1 Lanticam, 2 Tornio, 3 QD4).
 * Blocks for the library load the first time, and while its failure box is open. */
uint32_t WINAPI VInitLibrary(void *hCam, int32_t family);                                      /* 1 */

/* Gets a new buffer (*bufNr -1) or hands buffer *bufNr back to the camera (same number, same
 * size: after each frame).
 * Node: return U32; hCam; bufNr I16 pointer to value (in: -1 or a number, out: the number);
 * size U32 by value (bytes); unused U32 by value (0); event U32 pointer to value (in: 0, out:
 * the buffer's event).  Waits for a copy, push or read of that buffer under way. */
uint32_t WINAPI VAllocateBuffer(void *hCam, int16_t *bufNr, uint32_t size, uint32_t unused,
                                uint32_t *event);                                               /* 2 */

/* QD4 only: has the camera read one image of its memory into buffer bufNr, then copies the
 * buffer's whole size into image1D.
 * Node: return U32; hCam; segment U16 by value; image U32 by value; unused U32 by value (0);
 * bufNr I16 by value; image1D Array Handle, 1 dimension, U16, at least (buffer size + 1) / 2
 * elements.  Blocks for the camera's read. */
uint32_t WINAPI VGetImageFromCamRam(void *hCam, uint16_t segment, uint32_t image, uint32_t unused,
                                    int16_t bufNr, VLVArrayHandle image1D);                     /* 3 */

/* Copies width x height pixels of buffer bufNr into image1D.
 * Node: return U32; hCam; bufNr I16 by value; width, height, bitsPerPixel U16 by value each;
 * image1D Array Handle, 1 dimension, U8 up to 8 bits per pixel, U16 above, width x height
 * elements. */
uint32_t WINAPI VGetImageFromBuffer(void *hCam, int16_t bufNr, uint16_t width, uint16_t height,
                                    uint16_t bitsPerPixel, VLVArrayHandle image1D);             /* 4 */

/* Gives back all of the camera's buffers, forgets the camera, and releases the family's
 * library with its last camera.  Ends the camera's waits first.  It does not close a recording.
 * Node: return U32; hCam.  Waits for the camera's calls under way. */
uint32_t WINAPI Vcleanup(void *hCam);                                                           /* 5 */

/* The code's one line of text (codes in hexadecimal) into a LabVIEW string.
 * Node: return U32; code U32 by value; text String, String Handle. */
uint32_t WINAPI VGetErrorText(uint32_t code, VLVStringHandle text);                             /* 6 */

/* As VGetImageFromBuffer, into a 2-D array of height rows and width columns.
 * Node: image2D Array Handle, 2 dimensions, U8 or U16 as for VGetImageFromBuffer; the rest as
 * there. */
uint32_t WINAPI VGetImageFromBuffer2D(void *hCam, int16_t bufNr, uint16_t width, uint16_t height,
                                      uint16_t bitsPerPixel, VLVArrayHandle image2D);           /* 7 */

/* QD4 only: has the camera read images firstImage to lastImage of its memory into buffer
 * bufNr, then copies width x height pixels into image1D.
 * Node: return U32; hCam; segment U16; firstImage, lastImage U32; bufNr I16; width, height,
 * bitsPerPixel U16 (all by value); image1D Array Handle, 1 dimension, U8 up to 8 bits per pixel,
 * U16 above.  Blocks for the camera's read. */
uint32_t WINAPI VGetImageExFromCamRam(void *hCam, uint16_t segment, uint32_t firstImage,
                                      uint32_t lastImage, int16_t bufNr, uint16_t width,
                                      uint16_t height, uint16_t bitsPerPixel,
                                      VLVArrayHandle image1D);                                  /* 8 */

/* Waits for a filled buffer; of several, the one registered last.  A filled buffer is reported
 * again until it is handed back.
 * Node: return U32; hCam; bufNr I16 pointer to value (out: the number, -1 when none); timeoutMs
 * U32 by value (VOR_WAIT_FOREVER waits without limit, 0 only polls).  Run in any thread.
 * Blocks up to the time-out. */
uint32_t WINAPI VWaitForBuffers(void *hCam, int16_t *bufNr, uint32_t timeoutMs);                /* 9 */

/* Gives one buffer back to the SDK and forgets it.
 * Node: return U32; hCam; bufNr I32 by value.  Waits for a copy, push or read of that buffer. */
uint32_t WINAPI VFreeBuffer(void *hCam, int32_t bufNr);                                         /* 10 */

/* Opens the process's one recording, owned by this camera, through the file plug-in.
 * ".tif" is added unless the name ends in "tif"; a name without a backslash goes into the
 * folder of vorlabview.dll.  mode 0 to 3 (others count as 0) and openValue (at least 10) are
 * passed to the plug-in.
 * Node: return U32; hCam; fileName String, C String Pointer; width, height, bitsPerPixel U16
 * by value; mode I32 by value; openValue I32 by value. */
uint32_t WINAPI VInitPushFile(void *hCam, const char *fileName, uint16_t width, uint16_t height,
                              uint16_t bitsPerPixel, int32_t mode, int32_t openValue);          /* 11 */

/* Writes buffer bufNr as the recording's next page; call it before the buffer is handed back.
 * Node: return U32 (the plug-in's result, 0 = written); hCam (the recording's owner); bufNr
 * I16 by value.  Blocks for the page's write. */
uint32_t WINAPI VPushImageToFile(void *hCam, int16_t bufNr);                                    /* 12 */

/* Finishes the recording this camera owns.
 * Node: return U32; hCam.  Waits for a push under way. */
uint32_t WINAPI VClosePushFile(void *hCam);                                                     /* 13 */

/* For hosts that are not LabVIEW: names the module that exports LabVIEW's memory manager.
 * Never wrap it in a node run from a diagram: a wrong value makes the next VGetErrorText end
 * the process. */
void     WINAPI SetLVRTModule(void *runtimeModule);                                             /* 14 */

/* Waits for the buffer the camera filled first (queue order); pending receives how many more
 * are filled and waiting.  A filled buffer is reported to one wait only, until it is handed
 * back with VAllocateBuffer; the reported number is set also when the code says the buffer is
 * not filled, and that buffer too must be handed back.
 * Node: return U32; hCam; bufNr I16 pointer to value (out); timeoutMs U32 by value; pending I32
 * pointer to value (out; given, the wait also counts starved waits); instance: Type Instance
 * Data Pointer, with Callbacks Reserve VReserve, Unreserve VUnreserve, Abort VAbort, so that
 * aborting the VI ends the wait.  Never leave the instance parameter out.  Run in any thread.
 * Blocks up to the time-out. */
uint32_t WINAPI VWaitForBuffersEx(void *hCam, int16_t *bufNr, uint32_t timeoutMs, int32_t *pending,
                                  void **instance);                                            /* 15 */

/* Node callbacks: name them on the Callbacks tab (Reserve, Unreserve, Abort) of the
 * VWaitForBuffersEx and VInitLibraryEx nodes.  LabVIEW passes the node's instance cell; never
 * call them from a diagram.  Each returns 0. */
int32_t  WINAPI VReserve(void **instance);                                                      /* 16 */
int32_t  WINAPI VUnreserve(void **instance);                                                    /* 17 */
int32_t  WINAPI VAbort(void **instance);                                                        /* 18 */

/* A stop button: ends every wait of the camera in progress with VOR_ERR_WAIT_CANCELLED; when
 * none is in progress, the camera's next wait returns it at once (Vcleanup and VInitLibrary of
 * the camera clear such a kept stop).
 * Node: return U32; hCam. */
uint32_t WINAPI VCancelWait(void *hCam);                                                        /* 19 */

/* As VInitLibrary, and ties the camera to the node: when the top-level VI that ran the node
 * stops, normally or by Abort, the camera's waits end, a recording it owns is closed and it is
 * cleaned up as by Vcleanup.  A null instance or an empty cell behaves as VInitLibrary.
 * Node: as VInitLibrary, then instance: Type Instance Data Pointer, with Callbacks VReserve,
 * VUnreserve, VAbort.  Never leave the instance parameter out. */
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

/* Fills the first min(count, VOR_STAT_COUNT) of `counters` with the camera's statistics, in
 * the order of enum VorCameraStat; count <= 0 writes nothing.
 * Node: return U32; hCam; counters Array, 1 dimension, U64, Array Data Pointer; count I32 by
 * value, wired from Array Size of that array. */
uint32_t WINAPI VGetCameraStats(void *hCam, uint64_t *counters, int32_t count);                 /* 21 */

/* A readable report of the module's state (version and path, log, bound libraries, cameras,
 * recording) into a LabVIEW string.
 * Node: return U32; text String, String Handle. */
uint32_t WINAPI VGetState(VLVStringHandle text);                                                /* 22 */

#ifdef __cplusplus
}
#endif

#endif /* VORLABVIEW_H */
