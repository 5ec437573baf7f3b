/* Control interface of the simulated camera SDK libraries (Lan_Cam.dll, Tn_Cam.dll, QD4_Cam.dll).
 *
 * Every simulated library exports these functions next to its family's SDK entry points, so that
 * tests and the demo can steer it: make entry points fail, shape what allocation returns, set
 * buffer status words, fill buffers with a test pattern and signal their events, run a paced
 * simulated acquisition, and read back a trace of the SDK calls the library received.
 * Resolve them with GetProcAddress by name.
 *
 * Buffers are kept per camera handle; numbers are assigned from 0 (lowest free number first).
 * Each buffer owns real memory (zero-filled when allocated) and a real manual-reset event made
 * with CreateEventA, whose handle value travels through the caller's 32-bit event variable.
 *
 * A library's DllMain sleeps at load when the environment variable VORLAB_SIM_ATTACH_DELAY is
 * "<name>:<ms>" and <name> is its file name without extension, in any case ("Lan_Cam",
 * "Tn_Cam", "QD4_Cam"): a slow SDK load, under the loader lock.
 */
#ifndef SIM_CONTROL_H
#define SIM_CONTROL_H

#include <stdint.h>
#include <windows.h>

/* Error codes the simulated entry points return (0 = success). */
#define SIM_ERR_BAD_ARG   0x80043001u /* a size of 0, or a null pointer where one is needed */
#define SIM_ERR_NO_BUFFER 0x80043003u /* no buffer of that number for that camera handle */
#define SIM_ERR_NO_MEMORY 0x80043005u /* memory or an event could not be made */

#ifdef __cplusplus
extern "C" {
#endif

/* Stops every acquisition, frees every buffer (memory and event), clears faults, status
 * overrides, pending counts, acquisition modes, delays, call counters, signal-on-free and the
 * trace.  The library is then as freshly loaded. */
typedef void (WINAPI *SimResetFn)(void);

/* Makes the SDK entry point named `entry` (for example "MAP_BUFFER") fail with `code`:
 * the `nth` next call fails (1 = the very next call), and with `persist` non-zero every call
 * from then on fails too.  code 0 with nth 0 removes the fault.  A failing call changes nothing
 * (no buffer is made or freed, out parameters are left as they were) and is still traced. */
typedef void (WINAPI *SimFailFn)(const char *entry, uint32_t code, int32_t nth, int32_t persist);

/* With `on` non-zero, the named entry point succeeds but leaves the out address null
 * ("ALLOCATE_BUFFER_EX": forces the caller to map; "MAP_BUFFER": a mapping with no address;
 * "VOR_AllocateBuffer": a null address). */
typedef void (WINAPI *SimSetNullAddressFn)(const char *entry, int32_t on);

/* Sets the status words that the status call reports for buffer (hCam, n):
 * families 1 and 2: `status` is the first status word of GETBUFFER_STATUS (driverStatus unused);
 * family 3: `status` and `driverStatus` are what VOR_GetBufferStatus writes.
 * Returns 0, or -1 when there is no such buffer. */
typedef int32_t (WINAPI *SimSetStatusFn)(void *hCam, int32_t n, uint32_t status, uint32_t driverStatus);

/* Fills buffer (hCam, n) with the test pattern of `seed` (byte i = (seed + i * 7) & 0xFF over
 * its whole size), marks it filled (first status word 2 for families 1 and 2; status 0x8000 and
 * driver status 0 for family 3) and, with `signal` non-zero, sets its event.
 * Returns 0, or -1 when there is no such buffer or it has no memory. */
typedef int32_t (WINAPI *SimFillBufferFn)(void *hCam, int32_t n, uint32_t seed, int32_t signal);

/* Sets or resets the event of buffer (hCam, n).  Returns 0, or -1 when there is no such buffer. */
typedef int32_t (WINAPI *SimSignalFn)(void *hCam, int32_t n, int32_t set);

/* Facts about buffer (hCam, n), or 0 / null when there is no such buffer. */
typedef void *   (WINAPI *SimBufferAddressFn)(void *hCam, int32_t n);
typedef uint32_t (WINAPI *SimBufferSizeFn)(void *hCam, int32_t n);
typedef uint32_t (WINAPI *SimBufferEventFn)(void *hCam, int32_t n);

/* Number of live buffers, over all cameras. */
typedef int32_t (WINAPI *SimBufferCountFn)(void);

/* QD4 only: the count that VOR_GetPendingBuffer reports for hCam (default 0);
 * VOR_CancelImages sets it back to 0. */
typedef void (WINAPI *SimSetPendingFn)(void *hCam, int32_t count);

/* Trace of SDK entry-point calls (control calls are not traced), oldest first, at most 4096
 * lines; further calls are counted but not kept.  One line per call, for example
 *   "MAP_BUFFER h=1234 n=0 size=4096 zero=0 -> 0"
 * Numbers print as unsigned hexadecimal without prefix for handles, addresses, codes and status
 * words, and as signed decimal for buffer numbers, sizes, counts, image numbers, segments,
 * width, height and bits per pixel.  The exact line formats are listed in sim/README.md.
 * SimTraceLine copies line `index` into `out` (always zero-terminated, truncated to `size`)
 * and returns its full length, or -1 for an index out of range. */
typedef int32_t (WINAPI *SimTraceCountFn)(void);
typedef int32_t (WINAPI *SimTraceLineFn)(int32_t index, char *out, int32_t size);
typedef void    (WINAPI *SimTraceClearFn)(void);
/* With `on` 0, calls are no longer written into the trace (it is emptied, and SimTraceCount
 * stays 0): a benchmark then measures the module, not the formatting of trace lines.  On by
 * default and after SimReset. */
typedef void    (WINAPI *SimSetTracingFn)(int32_t on);

/* Acquisition: a thread of the library delivers frames into the buffers of camera hCam.
 * SimStartAcquisition starts it (or restarts it with new settings, counting from frame 0 again).
 * At each frame time (framesPerSecond, paced without drift; when late, the next frame comes at
 * once, never a burst) the camera's next buffer in ascending number order, round-robin over the
 * buffers it has at that moment, gets frame k (k = 0, 1, 2, ... since the start): pixel (x, y),
 * row-major, value (x + y + k) masked to bitsPerPixel bits, 1 byte per pixel up to 8 bits, else
 * 2 bytes little-endian; min(buffer size, width * height * pixel bytes) bytes, whole pixels only.
 * The buffer is then marked filled as by SimFillBuffer and its event is set.  A frame time at
 * which the camera has no buffer is skipped and not counted.  Frames are not traced.
 * The pixels are written without the library's lock (SDK calls go on meanwhile); freeing or
 * growing that buffer waits until the frame is written.
 * framesPerSecond 1..100000, width and height >= 1, bitsPerPixel 1..16, else SIM_ERR_BAD_ARG;
 * SIM_ERR_NO_MEMORY when no thread could be made.  Returns 0 otherwise. */
typedef int32_t (WINAPI *SimStartAcquisitionFn)(void *hCam, uint32_t framesPerSecond, uint16_t width,
                                                uint16_t height, uint16_t bitsPerPixel);

/* Stops the acquisition of hCam: once it returns, no buffer of hCam is written or signalled by
 * it any more (a frame being written when it is called is finished first).  Returns 0, also when
 * none was running.  SimReset stops every acquisition. */
typedef int32_t (WINAPI *SimStopAcquisitionFn)(void *hCam);

/* Frames delivered to hCam since its last start (kept after a stop; 0 if never started). */
typedef uint32_t (WINAPI *SimFramesDeliveredFn)(void *hCam);

/* Acquisition modes for SimSetAcquisitionMode; 0 is round-robin by buffer number as above. */
/* Fill in queue order: a buffer is queued when allocated, and queued again (to the back) when
 * allocated again under its number.  Each frame goes to the buffer queued longest ago and not
 * filled since; a filled buffer gets no frame until it is queued again; a frame time with no
 * queued buffer is skipped and not counted.  A buffer queued again gets no frame earlier than
 * one frame period after that (its caller resets the event right after the allocation). */
#define SIM_ACQ_QUEUE 1u
/* Frames are delivered (marked filled, event set, counted) without writing pixels. */
#define SIM_ACQ_NO_PIXELS 2u
/* No paced frames at all (framesPerSecond is ignored): a buffer allocated again under its number
 * while its event is set, or while its status still says filled, gets a frame without pixels as
 * soon as its caller has reset that event.  Any other buffer gets nothing.  For a loop that waits,
 * copies and queues again as fast as it can. */
#define SIM_ACQ_REQUEUE_AT_ONCE 4u

/* Sets the mode flags (SIM_ACQ_...) of hCam's current or next acquisition; kept across starts,
 * cleared by SimReset.  Unknown bits are ignored.  Returns 0. */
typedef int32_t (WINAPI *SimSetAcquisitionModeFn)(void *hCam, uint32_t flags);

/* Makes every call of the SDK entry point named `entry` sleep `ms` milliseconds first, before the
 * library's lock is taken, so calls of other entry points, and of this one on other threads, go
 * on meanwhile.  ms 0 removes the delay; the value is read when a call starts.  Unknown names
 * are ignored.  SimReset removes every delay. */
typedef void (WINAPI *SimSetDelayFn)(const char *entry, uint32_t ms);

/* Calls of the SDK entry point `entry` that have started (counted on entry, before the delay)
 * and that have returned, since the load or the last SimReset; -1 for an unknown name.  Read
 * without the library's lock, so they answer while a call waits for it. */
typedef int32_t (WINAPI *SimCallsEnteredFn)(const char *entry);
typedef int32_t (WINAPI *SimCallsReturnedFn)(const char *entry);

/* With `on` non-zero, FREE_BUFFER and VOR_FreeBuffer set the buffer's event on entry (before the
 * delay and the fault check), when the buffer exists: a frame that arrives while the caller
 * frees its buffers.  SimReset turns it off. */
typedef void (WINAPI *SimSetSignalOnFreeFn)(int32_t on);

#ifdef __cplusplus
}
#endif

#endif /* SIM_CONTROL_H */
