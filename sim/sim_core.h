// Shared core of the simulated camera libraries: buffer table per camera, faults, null-address mode, trace, acquisition.
#ifndef SIM_CORE_H
#define SIM_CORE_H

#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "sim_control.h"

namespace sim {

// Every SDK entry point of the three families; indexes the fault and null-address tables.
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
    Buffer *next;
};

// Holds the library's one lock for the lifetime of the object.
class Lock {
public:
    Lock() noexcept;
    ~Lock();
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
};

// The following expect the lock to be held.

// The injected fault code for this call of `e` (0 = run normally); counts the call.
uint32_t TakeFault(Entry e) noexcept;
bool NullAddress(Entry e) noexcept;

Buffer *Find(void *cam, int32_t n) noexcept;
// n == -1: a new buffer with the lowest free number; otherwise grows buffer n to `size`.
uint32_t Allocate(void *cam, int32_t n, uint32_t size, Buffer **out) noexcept;
uint32_t Free(void *cam, int32_t n) noexcept;

// Writes the test pattern of `seed` over the first `bytes` bytes and marks the buffer filled.
void Fill(Buffer *b, uint32_t seed, size_t bytes) noexcept;
// The family's filled status, driver status 0.
void MarkFilled(Buffer *b) noexcept;
// The buffer of `cam` with memory and the lowest number above `after`, else the lowest one; null if none.
Buffer *NextBuffer(void *cam, int32_t after) noexcept;

// Zeroed memory from the library's private heap, and its release.
void *HeapZeroed(size_t bytes) noexcept;
void HeapRelease(void *p) noexcept;

// Acquisition (sim_acquire.cpp).
// A buffer of `cam` was made or grown: wakes the acquisition thread if `cam` acquires.
void AcquisitionBufferAdded(void *cam) noexcept;
// Forgets every acquisition; the acquisition thread then ends at its next pass.
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
