// Shared core of the simulated camera libraries: state, control exports and DllMain.
#include "sim_core.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <type_traits>

namespace sim {
namespace {

const char *const kEntryNames[kEntryCount] = {
    "ALLOCATE_BUFFER_EX",
    "ALLOCATE_BUFFER",
    "MAP_BUFFER",
    "SETBUFFER_EVENT",
    "UNMAP_BUFFER",
    "FREE_BUFFER",
    "GETBUFFER_STATUS",
    "REMOVE_ALL_BUFFERS_FROM_LIST",
    "VOR_AllocateBuffer",
    "VOR_FreeBuffer",
    "VOR_GetBufferStatus",
    "VOR_GetPendingBuffer",
    "VOR_CancelImages",
    "VOR_GetImage",
    "VOR_GetImageEx",
    "VOR_GetBuffer",
};

struct Fault {
    uint32_t code;      // 0 = no fault
    int32_t countdown;  // calls left until the first failing one
    bool persist;
    bool failing;       // a persistent fault that has started failing
};

struct PendingCount {
    void *cam;
    int32_t count;
    PendingCount *next;
};

const int32_t kTraceLines = 4096;
const size_t kTraceLineSize = 192;

CRITICAL_SECTION g_lock;
HANDLE g_heap;  // private heap: buffer memory and table nodes; destroyed on unload

Buffer *g_buffers;
int32_t g_bufferCount;
PendingCount *g_pending;
Fault g_faults[kEntryCount];
bool g_nullAddress[kEntryCount];

char g_trace[kTraceLines][kTraceLineSize];
int32_t g_traceCount;  // calls traced, including those past the kept lines

int FindEntry(const char *name) noexcept
{
    if (name == nullptr)
        return -1;
    for (int i = 0; i < kEntryCount; ++i)
        if (strcmp(kEntryNames[i], name) == 0)
            return i;
    return -1;
}

void Release(Buffer *b) noexcept
{
    HeapRelease(b->mem);
    if (b->event != nullptr)
        CloseHandle(b->event);
    HeapRelease(b);
}

// Back to the freshly loaded state; the caller holds the lock or is the only thread.
void ResetState() noexcept
{
    while (g_buffers != nullptr) {
        Buffer *next = g_buffers->next;
        Release(g_buffers);
        g_buffers = next;
    }
    g_bufferCount = 0;
    while (g_pending != nullptr) {
        PendingCount *next = g_pending->next;
        HeapRelease(g_pending);
        g_pending = next;
    }
    ResetAcquisitions();
    memset(g_faults, 0, sizeof g_faults);
    memset(g_nullAddress, 0, sizeof g_nullAddress);
    g_traceCount = 0;
}

PendingCount *FindPending(void *cam) noexcept
{
    for (PendingCount *p = g_pending; p != nullptr; p = p->next)
        if (p->cam == cam)
            return p;
    return nullptr;
}

} // namespace

void *HeapZeroed(size_t bytes) noexcept
{
    return HeapAlloc(g_heap, HEAP_ZERO_MEMORY, bytes);
}

void HeapRelease(void *p) noexcept
{
    if (p != nullptr)
        HeapFree(g_heap, 0, p);
}

Lock::Lock() noexcept { EnterCriticalSection(&g_lock); }
Lock::~Lock() { LeaveCriticalSection(&g_lock); }

uint32_t TakeFault(Entry e) noexcept
{
    Fault &f = g_faults[e];
    if (f.code == 0)
        return 0;
    if (f.failing)
        return f.code;
    if (--f.countdown > 0)
        return 0;
    const uint32_t code = f.code;
    if (f.persist)
        f.failing = true;
    else
        f = Fault{};
    return code;
}

bool NullAddress(Entry e) noexcept { return g_nullAddress[e]; }

Buffer *Find(void *cam, int32_t n) noexcept
{
    for (Buffer *b = g_buffers; b != nullptr; b = b->next)
        if (b->cam == cam && b->n == n)
            return b;
    return nullptr;
}

uint32_t Allocate(void *cam, int32_t n, uint32_t size, Buffer **out) noexcept
{
    if (size == 0)
        return SIM_ERR_BAD_ARG;
    if (n != -1) {
        Buffer *b = Find(cam, n);
        if (b == nullptr)
            return SIM_ERR_NO_BUFFER;
        if (size > b->size) {
            // HEAP_ZERO_MEMORY on re-allocation zeroes only the added bytes.
            void *mem = b->mem != nullptr ? HeapReAlloc(g_heap, HEAP_ZERO_MEMORY, b->mem, size)
                                          : HeapZeroed(size);
            if (mem == nullptr)
                return SIM_ERR_NO_MEMORY;
            b->mem = static_cast<uint8_t *>(mem);
            b->size = size;
        }
        AcquisitionBufferAdded(cam);
        *out = b;
        return 0;
    }

    int32_t number = 0;
    while (Find(cam, number) != nullptr)
        ++number;
    if (number > g_family.highestNumber)
        return SIM_ERR_NO_MEMORY;

    Buffer *b = static_cast<Buffer *>(HeapZeroed(sizeof(Buffer)));
    if (b == nullptr)
        return SIM_ERR_NO_MEMORY;
    b->cam = cam;
    b->n = number;
    b->mem = static_cast<uint8_t *>(HeapZeroed(size));
    b->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (b->mem == nullptr || b->event == nullptr) {
        Release(b);
        return SIM_ERR_NO_MEMORY;
    }
    b->size = size;
    b->next = g_buffers;
    g_buffers = b;
    ++g_bufferCount;
    AcquisitionBufferAdded(cam);
    *out = b;
    return 0;
}

uint32_t Free(void *cam, int32_t n) noexcept
{
    for (Buffer **link = &g_buffers; *link != nullptr; link = &(*link)->next) {
        Buffer *b = *link;
        if (b->cam == cam && b->n == n) {
            *link = b->next;
            Release(b);
            --g_bufferCount;
            return 0;
        }
    }
    return SIM_ERR_NO_BUFFER;
}

void Fill(Buffer *b, uint32_t seed, size_t bytes) noexcept
{
    if (bytes > b->size)
        bytes = b->size;
    for (size_t i = 0; i < bytes; ++i)
        b->mem[i] = static_cast<uint8_t>((seed + static_cast<uint32_t>(i) * 7u) & 0xFFu);
    MarkFilled(b);
}

void MarkFilled(Buffer *b) noexcept
{
    b->status = g_family.filledStatus;
    b->driverStatus = 0;
}

Buffer *NextBuffer(void *cam, int32_t after) noexcept
{
    Buffer *above = nullptr, *lowest = nullptr;
    for (Buffer *b = g_buffers; b != nullptr; b = b->next) {
        if (b->cam != cam || b->mem == nullptr)
            continue;
        if (lowest == nullptr || b->n < lowest->n)
            lowest = b;
        if (b->n > after && (above == nullptr || b->n < above->n))
            above = b;
    }
    return above != nullptr ? above : lowest;
}

int32_t Pending(void *cam) noexcept
{
    const PendingCount *p = FindPending(cam);
    return p != nullptr ? p->count : 0;
}

void SetPending(void *cam, int32_t count) noexcept
{
    PendingCount *p = FindPending(cam);
    if (p == nullptr) {
        if (count == 0)
            return;
        p = static_cast<PendingCount *>(HeapZeroed(sizeof(PendingCount)));
        if (p == nullptr)
            return;
        p->cam = cam;
        p->next = g_pending;
        g_pending = p;
    }
    p->count = count;
}

void Trace(const char *format, ...) noexcept
{
    if (g_traceCount < kTraceLines) {
        va_list args;
        va_start(args, format);
        vsnprintf(g_trace[g_traceCount], kTraceLineSize, format, args);
        va_end(args);
    }
    if (g_traceCount < INT32_MAX)
        ++g_traceCount;
}

} // namespace sim

using namespace sim;

extern "C" {

void WINAPI SimReset(void) noexcept
{
    // Returns once the acquisition threads have ended, so that the library holds no reference
    // to itself any more.  The waiting is done unlocked: a leaving thread may need the lock.
    HANDLE threads[kAcquisitionThreads];
    int count = 0;
    {
        Lock lock;
        ResetState();
        count = TakeAcquisitionThreads(threads);
    }
    if (count > 0)
        WaitForMultipleObjects(static_cast<DWORD>(count), threads, TRUE, INFINITE);
    for (int i = 0; i < count; ++i)
        CloseHandle(threads[i]);
}

void WINAPI SimFail(const char *entry, uint32_t code, int32_t nth, int32_t persist) noexcept
{
    Lock lock;
    const int e = FindEntry(entry);
    if (e < 0)
        return;
    if (code == 0)
        g_faults[e] = Fault{};
    else
        g_faults[e] = Fault{code, nth < 1 ? 1 : nth, persist != 0, false};
}

void WINAPI SimSetNullAddress(const char *entry, int32_t on) noexcept
{
    Lock lock;
    const int e = FindEntry(entry);
    if (e >= 0)
        g_nullAddress[e] = on != 0;
}

int32_t WINAPI SimSetStatus(void *hCam, int32_t n, uint32_t status, uint32_t driverStatus) noexcept
{
    Lock lock;
    Buffer *b = Find(hCam, n);
    if (b == nullptr)
        return -1;
    b->status = status;
    b->driverStatus = driverStatus;
    return 0;
}

int32_t WINAPI SimFillBuffer(void *hCam, int32_t n, uint32_t seed, int32_t signal) noexcept
{
    Lock lock;
    Buffer *b = Find(hCam, n);
    if (b == nullptr || b->mem == nullptr)
        return -1;
    Fill(b, seed, b->size);
    if (signal != 0)
        SetEvent(b->event);
    return 0;
}

int32_t WINAPI SimSignal(void *hCam, int32_t n, int32_t set) noexcept
{
    Lock lock;
    Buffer *b = Find(hCam, n);
    if (b == nullptr)
        return -1;
    if (set != 0)
        SetEvent(b->event);
    else
        ResetEvent(b->event);
    return 0;
}

void *WINAPI SimBufferAddress(void *hCam, int32_t n) noexcept
{
    Lock lock;
    const Buffer *b = Find(hCam, n);
    return b != nullptr ? b->mem : nullptr;
}

uint32_t WINAPI SimBufferSize(void *hCam, int32_t n) noexcept
{
    Lock lock;
    const Buffer *b = Find(hCam, n);
    return b != nullptr ? b->size : 0;
}

uint32_t WINAPI SimBufferEvent(void *hCam, int32_t n) noexcept
{
    Lock lock;
    const Buffer *b = Find(hCam, n);
    return b != nullptr ? EventValue(b->event) : 0;
}

int32_t WINAPI SimBufferCount(void) noexcept
{
    Lock lock;
    return g_bufferCount;
}

void WINAPI SimSetPending(void *hCam, int32_t count) noexcept
{
    Lock lock;
    SetPending(hCam, count);
}

int32_t WINAPI SimTraceCount(void) noexcept
{
    Lock lock;
    return g_traceCount;
}

int32_t WINAPI SimTraceLine(int32_t index, char *out, int32_t size) noexcept
{
    Lock lock;
    const int32_t kept = g_traceCount < kTraceLines ? g_traceCount : kTraceLines;
    if (index < 0 || index >= kept)
        return -1;
    const char *line = g_trace[index];
    const size_t length = strlen(line);
    if (out != nullptr && size > 0) {
        const size_t copy = length < static_cast<size_t>(size) ? length : static_cast<size_t>(size) - 1;
        memcpy(out, line, copy);
        out[copy] = '\0';
    }
    return static_cast<int32_t>(length);
}

void WINAPI SimTraceClear(void) noexcept
{
    Lock lock;
    g_traceCount = 0;
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(module);
        g_heap = HeapCreate(0, 0, 0);
        if (g_heap == nullptr)
            return FALSE;
        InitializeCriticalSection(&g_lock);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // FreeLibrary: close every event and hand back all memory.  At process exit
        // (reserved != null) other threads are gone mid-call and the system reclaims it all.
        // No acquisition thread is left in the library's code: each held a reference until its end.
        ResetState();
        HANDLE threads[kAcquisitionThreads];
        for (int i = TakeAcquisitionThreads(threads); i-- > 0;)
            CloseHandle(threads[i]);
        DeleteCriticalSection(&g_lock);
        HeapDestroy(g_heap);
        g_heap = nullptr;
    }
    return TRUE;
}

} // extern "C"

// The exports must keep the signatures of the control interface.
static_assert(std::is_convertible<decltype(&SimReset), SimResetFn>::value, "SimReset");
static_assert(std::is_convertible<decltype(&SimFail), SimFailFn>::value, "SimFail");
static_assert(std::is_convertible<decltype(&SimSetNullAddress), SimSetNullAddressFn>::value, "SimSetNullAddress");
static_assert(std::is_convertible<decltype(&SimSetStatus), SimSetStatusFn>::value, "SimSetStatus");
static_assert(std::is_convertible<decltype(&SimFillBuffer), SimFillBufferFn>::value, "SimFillBuffer");
static_assert(std::is_convertible<decltype(&SimSignal), SimSignalFn>::value, "SimSignal");
static_assert(std::is_convertible<decltype(&SimBufferAddress), SimBufferAddressFn>::value, "SimBufferAddress");
static_assert(std::is_convertible<decltype(&SimBufferSize), SimBufferSizeFn>::value, "SimBufferSize");
static_assert(std::is_convertible<decltype(&SimBufferEvent), SimBufferEventFn>::value, "SimBufferEvent");
static_assert(std::is_convertible<decltype(&SimBufferCount), SimBufferCountFn>::value, "SimBufferCount");
static_assert(std::is_convertible<decltype(&SimSetPending), SimSetPendingFn>::value, "SimSetPending");
static_assert(std::is_convertible<decltype(&SimTraceCount), SimTraceCountFn>::value, "SimTraceCount");
static_assert(std::is_convertible<decltype(&SimTraceLine), SimTraceLineFn>::value, "SimTraceLine");
static_assert(std::is_convertible<decltype(&SimTraceClear), SimTraceClearFn>::value, "SimTraceClear");
