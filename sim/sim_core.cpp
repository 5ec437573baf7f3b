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

// The buffers of one camera: a table by number, the free numbers, and the queue in filling order.
struct Camera {
    void *cam;
    Buffer **slots;     // by number; numbers from highWater up were never handed out
    int32_t *gaps;      // min-heap of the free numbers below highWater; as large as slots
    int32_t capacity;   // of slots and gaps
    int32_t highWater;
    int32_t gapCount;
    int32_t live;
    Buffer *queueHead, *queueTail;
    Camera *next;       // hash chain
};

const int32_t kTraceLines = 4096;
const size_t kTraceLineSize = 192;
const int kCameraBuckets = 64;

CRITICAL_SECTION g_lock;
CONDITION_VARIABLE g_written = CONDITION_VARIABLE_INIT;
HANDLE g_heap;  // private heap: buffer memory and table nodes; destroyed on unload
LONGLONG g_frequency;

Camera *g_cameras[kCameraBuckets];
int32_t g_bufferCount;
PendingCount *g_pending;
Fault g_faults[kEntryCount];
bool g_nullAddress[kEntryCount];

// Read and written without the lock.
volatile LONG g_delays[kEntryCount];
volatile LONG g_entered[kEntryCount];
volatile LONG g_returned[kEntryCount];
volatile LONG g_signalOnFree;

char g_trace[kTraceLines][kTraceLineSize];
int32_t g_traceCount;  // calls traced, including those past the kept lines
bool g_tracing = true;  // lines are formatted; off, calls are only counted

int FindEntry(const char *name) noexcept
{
    if (name == nullptr)
        return -1;
    for (int i = 0; i < kEntryCount; ++i)
        if (strcmp(kEntryNames[i], name) == 0)
            return i;
    return -1;
}

size_t Bucket(const void *cam) noexcept
{
    // Fibonacci hashing: handles are often small or aligned values.
    const uint64_t v = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(cam)) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(v >> 58);  // 64 buckets
}
static_assert(kCameraBuckets == 64, "Bucket takes 6 bits");

Camera *FindCamera(const void *cam) noexcept
{
    for (Camera *c = g_cameras[Bucket(cam)]; c != nullptr; c = c->next)
        if (c->cam == cam)
            return c;
    return nullptr;
}

Camera *MakeCamera(void *cam) noexcept
{
    Camera *c = static_cast<Camera *>(HeapZeroed(sizeof(Camera)));
    if (c == nullptr)
        return nullptr;
    c->cam = cam;
    Camera *&head = g_cameras[Bucket(cam)];
    c->next = head;
    head = c;
    return c;
}

void DropCamera(Camera *c) noexcept
{
    for (Camera **link = &g_cameras[Bucket(c->cam)]; *link != nullptr; link = &(*link)->next)
        if (*link == c) {
            *link = c->next;
            break;
        }
    HeapRelease(c->slots);
    HeapRelease(c->gaps);
    HeapRelease(c);
}

// Room for number `number` in the tables.
bool Reserve(Camera *c, int32_t number) noexcept
{
    if (number < c->capacity)
        return true;
    const int64_t wanted = c->capacity < 16 ? 16 : static_cast<int64_t>(c->capacity) * 2;
    const int32_t capacity = static_cast<int32_t>(wanted > INT32_MAX ? INT32_MAX : wanted);
    if (number >= capacity)
        return false;
    void *slots = c->slots != nullptr
                      ? HeapReAlloc(g_heap, HEAP_ZERO_MEMORY, c->slots, sizeof(Buffer *) * static_cast<size_t>(capacity))
                      : HeapZeroed(sizeof(Buffer *) * static_cast<size_t>(capacity));
    if (slots == nullptr)
        return false;
    c->slots = static_cast<Buffer **>(slots);
    void *gaps = c->gaps != nullptr ? HeapReAlloc(g_heap, 0, c->gaps, sizeof(int32_t) * static_cast<size_t>(capacity))
                                    : HeapZeroed(sizeof(int32_t) * static_cast<size_t>(capacity));
    if (gaps == nullptr)
        return false;  // slots stay larger than needed; harmless
    c->gaps = static_cast<int32_t *>(gaps);
    c->capacity = capacity;
    return true;
}

void PushGap(Camera *c, int32_t number) noexcept
{
    int32_t i = c->gapCount++;
    while (i > 0) {
        const int32_t parent = (i - 1) / 2;
        if (c->gaps[parent] <= number)
            break;
        c->gaps[i] = c->gaps[parent];
        i = parent;
    }
    c->gaps[i] = number;
}

void PopGap(Camera *c) noexcept
{
    const int32_t last = c->gaps[--c->gapCount];
    int32_t i = 0;
    for (;;) {
        int32_t child = 2 * i + 1;
        if (child >= c->gapCount)
            break;
        if (child + 1 < c->gapCount && c->gaps[child + 1] < c->gaps[child])
            ++child;
        if (last <= c->gaps[child])
            break;
        c->gaps[i] = c->gaps[child];
        i = child;
    }
    if (c->gapCount > 0)
        c->gaps[i] = last;
}

void UnlinkQueued(Camera *c, Buffer *b) noexcept
{
    if (b->queuePrev != nullptr)
        b->queuePrev->queueNext = b->queueNext;
    else
        c->queueHead = b->queueNext;
    if (b->queueNext != nullptr)
        b->queueNext->queuePrev = b->queuePrev;
    else
        c->queueTail = b->queuePrev;
    b->queuePrev = b->queueNext = nullptr;
    b->queued = false;
}

void Enqueue(Camera *c, Buffer *b, bool again) noexcept
{
    if (b->queued)
        UnlinkQueued(c, b);
    b->queued = true;
    b->requeued = again;
    b->queuedAt = Now();
    b->queuePrev = c->queueTail;
    b->queueNext = nullptr;
    if (c->queueTail != nullptr)
        c->queueTail->queueNext = b;
    else
        c->queueHead = b;
    c->queueTail = b;
}

void Release(Buffer *b) noexcept
{
    HeapRelease(b->mem);
    if (b->event != nullptr)
        CloseHandle(b->event);
    HeapRelease(b);
}

// Back to the freshly loaded state; the caller holds the lock or is the only thread, and no
// frame is being written.
void ResetState() noexcept
{
    ResetAcquisitions();
    for (Camera *&head : g_cameras)
        while (head != nullptr) {
            Camera *c = head;
            for (int32_t i = 0; i < c->highWater; ++i)
                if (c->slots[i] != nullptr)
                    Release(c->slots[i]);
            DropCamera(c);
        }
    g_bufferCount = 0;
    while (g_pending != nullptr) {
        PendingCount *next = g_pending->next;
        HeapRelease(g_pending);
        g_pending = next;
    }
    memset(g_faults, 0, sizeof g_faults);
    memset(g_nullAddress, 0, sizeof g_nullAddress);
    for (int i = 0; i < kEntryCount; ++i) {
        InterlockedExchange(&g_delays[i], 0);
        InterlockedExchange(&g_entered[i], 0);
        InterlockedExchange(&g_returned[i], 0);
    }
    InterlockedExchange(&g_signalOnFree, 0);
    g_traceCount = 0;
    g_tracing = true;
}

PendingCount *FindPending(void *cam) noexcept
{
    for (PendingCount *p = g_pending; p != nullptr; p = p->next)
        if (p->cam == cam)
            return p;
    return nullptr;
}

// VORLAB_SIM_ATTACH_DELAY = "<name>:<ms>": this library's DllMain sleeps ms when <name> is its own.
DWORD AttachDelay() noexcept
{
    char value[64];
    const DWORD length = GetEnvironmentVariableA("VORLAB_SIM_ATTACH_DELAY", value, sizeof value);
    if (length == 0 || length >= sizeof value)
        return 0;
    const char *colon = strchr(value, ':');
    if (colon == nullptr)
        return 0;
    const char *name = g_family.name;
    const char *p = value;
    for (; p < colon && *name != '\0'; ++p, ++name) {
        const char a = *p >= 'A' && *p <= 'Z' ? static_cast<char>(*p - 'A' + 'a') : *p;
        const char b = *name >= 'A' && *name <= 'Z' ? static_cast<char>(*name - 'A' + 'a') : *name;
        if (a != b)
            return 0;
    }
    if (p != colon || *name != '\0' || colon[1] == '\0')
        return 0;
    uint64_t ms = 0;
    for (p = colon + 1; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return 0;
        ms = ms * 10 + static_cast<uint64_t>(*p - '0');
        if (ms >= INFINITE)
            return 0;
    }
    return static_cast<DWORD>(ms);
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

LONGLONG Now() noexcept
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

LONGLONG Frequency() noexcept { return g_frequency; }

Lock::Lock() noexcept { EnterCriticalSection(&g_lock); }
Lock::~Lock() { LeaveCriticalSection(&g_lock); }

Call::Call(Entry e) noexcept : e_(e)
{
    InterlockedIncrement(&g_entered[e]);
    const DWORD ms = static_cast<DWORD>(g_delays[e]);
    if (ms != 0)
        Sleep(ms);
}

Call::~Call() { InterlockedIncrement(&g_returned[e_]); }

void SignalOnFree(void *cam, int32_t n) noexcept
{
    if (g_signalOnFree == 0)
        return;
    Lock lock;
    const Buffer *b = Find(cam, n);
    if (b != nullptr)
        SetEvent(b->event);
}

void AwaitWrite() noexcept { SleepConditionVariableCS(&g_written, &g_lock, INFINITE); }

void WriteEnded() noexcept { WakeAllConditionVariable(&g_written); }

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
    const Camera *c = FindCamera(cam);
    if (c == nullptr || n < 0 || n >= c->highWater)
        return nullptr;
    return c->slots[n];
}

Buffer *FindUnpinned(void *cam, int32_t n) noexcept
{
    for (;;) {
        Buffer *b = Find(cam, n);
        if (b == nullptr || b->pins == 0)
            return b;
        AwaitWrite();  // the buffer may be gone afterwards: look it up again
    }
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
            b = FindUnpinned(cam, n);  // a frame being written keeps the memory where it is
            if (b == nullptr)
                return SIM_ERR_NO_BUFFER;
        }
        if (size > b->size) {
            // HEAP_ZERO_MEMORY on re-allocation zeroes only the added bytes.
            void *mem = b->mem != nullptr ? HeapReAlloc(g_heap, HEAP_ZERO_MEMORY, b->mem, size)
                                          : HeapZeroed(size);
            if (mem == nullptr)
                return SIM_ERR_NO_MEMORY;
            b->mem = static_cast<uint8_t *>(mem);
            b->size = size;
        }
        Enqueue(FindCamera(cam), b, true);
        AcquisitionBufferAdded(b, true);
        *out = b;
        return 0;
    }

    Camera *c = FindCamera(cam);
    if (c == nullptr && (c = MakeCamera(cam)) == nullptr)
        return SIM_ERR_NO_MEMORY;
    const int32_t number = c->gapCount > 0 ? c->gaps[0] : c->highWater;
    Buffer *b = nullptr;
    if (number <= g_family.highestNumber && Reserve(c, number))
        b = static_cast<Buffer *>(HeapZeroed(sizeof(Buffer)));
    if (b != nullptr) {
        b->cam = cam;
        b->n = number;
        b->mem = static_cast<uint8_t *>(HeapZeroed(size));
        b->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (b->mem == nullptr || b->event == nullptr) {
            Release(b);
            b = nullptr;
        }
    }
    if (b == nullptr) {
        if (c->live == 0)
            DropCamera(c);
        return SIM_ERR_NO_MEMORY;
    }
    b->size = size;
    if (c->gapCount > 0)
        PopGap(c);
    else
        ++c->highWater;
    c->slots[number] = b;
    ++c->live;
    ++g_bufferCount;
    Enqueue(c, b, false);
    AcquisitionBufferAdded(b, false);
    *out = b;
    return 0;
}

uint32_t Free(void *cam, int32_t n) noexcept
{
    Buffer *b = FindUnpinned(cam, n);  // never pull memory from under a frame being written
    if (b == nullptr)
        return SIM_ERR_NO_BUFFER;
    Camera *c = FindCamera(cam);
    AcquisitionBufferGone(b);
    if (b->queued)
        UnlinkQueued(c, b);
    c->slots[n] = nullptr;
    PushGap(c, n);
    --g_bufferCount;
    Release(b);
    if (--c->live == 0)
        DropCamera(c);  // numbers start from 0 again anyway
    return 0;
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
    const Camera *c = FindCamera(cam);
    if (c == nullptr)
        return nullptr;
    if (after < -1 || after >= c->highWater)
        after = -1;
    for (int32_t i = after + 1; i < c->highWater; ++i)
        if (c->slots[i] != nullptr && c->slots[i]->mem != nullptr)
            return c->slots[i];
    for (int32_t i = 0; i <= after; ++i)
        if (c->slots[i] != nullptr && c->slots[i]->mem != nullptr)
            return c->slots[i];
    return nullptr;
}

Buffer *QueueHead(void *cam) noexcept
{
    const Camera *c = FindCamera(cam);
    return c != nullptr ? c->queueHead : nullptr;
}

void Unqueue(Buffer *b) noexcept
{
    if (b->queued)
        UnlinkQueued(FindCamera(b->cam), b);
}

bool HasBuffers(void *cam) noexcept { return FindCamera(cam) != nullptr; }

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
    if (!g_tracing)
        return;
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
        StopAcquisitions();  // waits for a frame being written, so no buffer goes from under it
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
    Buffer *b = FindUnpinned(hCam, n);
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

void WINAPI SimSetTracing(int32_t on) noexcept
{
    Lock lock;
    g_tracing = on != 0;
    if (!g_tracing)
        g_traceCount = 0;
}

// The counters and delays are interlocked values: no lock, so they can be read while a call waits for it.
void WINAPI SimSetDelay(const char *entry, uint32_t ms) noexcept
{
    const int e = FindEntry(entry);
    if (e >= 0)
        InterlockedExchange(&g_delays[e], static_cast<LONG>(ms < INFINITE ? ms : INFINITE - 1));
}

int32_t WINAPI SimCallsEntered(const char *entry) noexcept
{
    const int e = FindEntry(entry);
    return e >= 0 ? static_cast<int32_t>(InterlockedCompareExchange(&g_entered[e], 0, 0)) : -1;
}

int32_t WINAPI SimCallsReturned(const char *entry) noexcept
{
    const int e = FindEntry(entry);
    return e >= 0 ? static_cast<int32_t>(InterlockedCompareExchange(&g_returned[e], 0, 0)) : -1;
}

void WINAPI SimSetSignalOnFree(int32_t on) noexcept
{
    InterlockedExchange(&g_signalOnFree, on != 0 ? 1 : 0);
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(module);
        g_heap = HeapCreate(0, 0, 0);
        if (g_heap == nullptr)
            return FALSE;
        InitializeCriticalSection(&g_lock);
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        g_frequency = f.QuadPart;
        if (!AcquisitionAttach()) {
            DeleteCriticalSection(&g_lock);
            HeapDestroy(g_heap);
            return FALSE;
        }
        // Models an SDK with a slow DllMain: the sleep happens under the system's loader lock.
        // Its end is told through VORLAB_SIM_ATTACH_DONE, so a test can order other calls
        // against it without taking the loader lock.
        const DWORD delay = AttachDelay();
        if (delay != 0) {
            Sleep(delay);
            SetEnvironmentVariableA("VORLAB_SIM_ATTACH_DONE", g_family.name);
        }
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // FreeLibrary: close every event and hand back all memory.  At process exit
        // (reserved != null) other threads are gone mid-call and the system reclaims it all.
        // No acquisition thread is left in the library's code: each held a reference until its end.
        ResetState();
        HANDLE threads[kAcquisitionThreads];
        for (int i = TakeAcquisitionThreads(threads); i-- > 0;)
            CloseHandle(threads[i]);
        AcquisitionDetach();
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
static_assert(std::is_convertible<decltype(&SimSetTracing), SimSetTracingFn>::value, "SimSetTracing");
static_assert(std::is_convertible<decltype(&SimSetDelay), SimSetDelayFn>::value, "SimSetDelay");
static_assert(std::is_convertible<decltype(&SimCallsEntered), SimCallsEnteredFn>::value, "SimCallsEntered");
static_assert(std::is_convertible<decltype(&SimCallsReturned), SimCallsReturnedFn>::value, "SimCallsReturned");
static_assert(std::is_convertible<decltype(&SimSetSignalOnFree), SimSetSignalOnFreeFn>::value, "SimSetSignalOnFree");
