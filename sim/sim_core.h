// Shared core of the simulated camera libraries: buffer table per camera, faults, null-address mode, trace, acquisition.
#ifndef SIM_CORE_H
#define SIM_CORE_H

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "sim_control.h"

namespace sim {

// Every SDK entry point of the three families; indexes the fault, null-address, delay and call tables.
enum Entry {
    kAllocateBufferEx,
    kAllocateBuffer,
    kMapBuffer,
    kSetBufferEvent,
    kUnmapBuffer,
    kFreeBuffer,
    kGetBufferStatus,
    kRemoveAllBuffersFromList,
    kVorAllocateBuffer,
    kVorFreeBuffer,
    kVorGetBufferStatus,
    kVorGetPendingBuffer,
    kVorCancelImages,
    kVorGetImage,
    kVorGetImageEx,
    kVorGetBuffer,
    kEntryCount
};

// What differs between the families inside the shared core; each library defines g_family.
struct Family {
    uint32_t filledStatus;       // status word that SimFillBuffer and image reads leave
    int32_t highestNumber;       // largest buffer number the family's number type can hold
    const char *name;            // file name without extension, for VORLAB_SIM_ATTACH_DELAY
};
extern const Family g_family;

struct Buffer {
    void *cam;
    int32_t n;
    uint8_t *mem;
    uint32_t size;
    HANDLE event;
    uint32_t status;
    uint32_t driverStatus;
    int32_t pins;           // frames being written into it outside the lock; it must not move or go
    bool queued;            // waits in its camera's queue for a frame
    bool requeued;          // queued by a re-allocation: no frame before one period has passed
    bool atOnce;            // waits for its event to be reset, then gets a frame at once
    LONGLONG queuedAt;      // performance counter at (re)queueing
    Buffer *queuePrev, *queueNext;
    Buffer *atOncePrev, *atOnceNext;
};

// Holds the library's one lock for the lifetime of the object.
class Lock {
public:
    Lock() noexcept;
    ~Lock();
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
};

// One SDK call, made before the lock is taken: counts it as entered, sleeps its delay, and counts
// it as returned when it goes (declare it before the Lock, so that it outlives it).
class Call {
public:
    explicit Call(Entry e) noexcept;
    ~Call();
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

private:
    Entry e_;
};

// With SimSetSignalOnFree on, sets the event of buffer (cam, n) if there is one; takes the lock.
void SignalOnFree(void *cam, int32_t n) noexcept;

// The following expect the lock to be held.

// The injected fault code for this call of `e` (0 = run normally); counts the call.
uint32_t TakeFault(Entry e) noexcept;
bool NullAddress(Entry e) noexcept;

Buffer *Find(void *cam, int32_t n) noexcept;
// n == -1: a new buffer with the lowest free number; otherwise grows buffer n to `size`.
// Either way the buffer goes to the back of its camera's queue.  May wait for a frame write.
uint32_t Allocate(void *cam, int32_t n, uint32_t size, Buffer **out) noexcept;
// May wait for a frame write into the buffer.
uint32_t Free(void *cam, int32_t n) noexcept;
// Buffer (cam, n) once no frame is being written into it (waits for that), or null.
Buffer *FindUnpinned(void *cam, int32_t n) noexcept;

// Writes the test pattern of `seed` over the first `bytes` bytes and marks the buffer filled.
void Fill(Buffer *b, uint32_t seed, size_t bytes) noexcept;
// The family's filled status, driver status 0.
void MarkFilled(Buffer *b) noexcept;
// The buffer of `cam` with memory and the lowest number above `after`, else the lowest one; null if none.
Buffer *NextBuffer(void *cam, int32_t after) noexcept;
// The buffer of `cam` queued longest ago and not filled since; null if none.
Buffer *QueueHead(void *cam) noexcept;
// A frame went into b: it leaves its camera's queue until it is allocated again.
void Unqueue(Buffer *b) noexcept;
bool HasBuffers(void *cam) noexcept;

// Lets the lock go until a frame write ends somewhere (or a spurious wake-up); callers re-check.
void AwaitWrite() noexcept;
// A frame write ended: wakes those in AwaitWrite.
void WriteEnded() noexcept;

// Zeroed memory from the library's private heap, and its release.
void *HeapZeroed(size_t bytes) noexcept;
void HeapRelease(void *p) noexcept;

LONGLONG Now() noexcept;
LONGLONG Frequency() noexcept;

// Acquisition (sim_acquire.cpp).
bool AcquisitionAttach() noexcept;
void AcquisitionDetach() noexcept;
// Buffer b was made (again = false) or allocated again: wakes the acquisition thread if its camera acquires.
void AcquisitionBufferAdded(Buffer *b, bool again) noexcept;
// Buffer b is about to be freed.
void AcquisitionBufferGone(Buffer *b) noexcept;
// Stops every acquisition and waits for a frame write in progress (lets the lock go meanwhile).
void StopAcquisitions() noexcept;
// Forgets every acquisition; the acquisition thread then ends at its next pass.  No write may be in progress.
void ResetAcquisitions() noexcept;
// Hands over the handles of the acquisition threads not known to have ended (at most
// kAcquisitionThreads); the caller waits for and closes them.
const int kAcquisitionThreads = 8;
int TakeAcquisitionThreads(HANDLE *threads) noexcept;

int32_t Pending(void *cam) noexcept;
void SetPending(void *cam, int32_t count) noexcept;

void Trace(const char *format, ...) noexcept;

inline unsigned long long HandleValue(const void *p) noexcept
{
    return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p));
}

// Event handles travel through 32-bit variables; Windows handle values fit.
inline uint32_t EventValue(HANDLE h) noexcept
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h));
}

} // namespace sim

#endif // SIM_CORE_H
