// Simulated acquisition: one thread of the library delivers paced frames into the buffers of acquiring cameras.
#include "sim_core.h"

#include <type_traits>

namespace sim {
namespace {

struct Acquisition {
    void *cam;
    bool running;
    bool writing;       // a frame of this camera is being written outside the lock
    uint32_t flags;     // SIM_ACQ_...
    uint32_t fps;
    uint16_t width, height, bitsPerPixel;
    uint32_t frames;    // frames delivered since the last start; also the next frame's number
    int32_t lastN;      // buffer that got the last frame (-1: none yet)
    LONGLONG base;      // schedule: frame time i is base + i * frequency / fps
    uint32_t slot;      // frame times passed since base
    LONGLONG deadline;  // next frame time
    uint32_t pass;      // the pass of Serve that last handled it
    Acquisition *next;
};

// A frame written outside the lock, into a buffer pinned meanwhile.
struct Job {
    Acquisition *a;
    Buffer *b;
    uint8_t *mem;
    uint32_t size;
    uint32_t frame;
    uint16_t width, height, bitsPerPixel;
};

const uint32_t kKnownFlags = SIM_ACQ_QUEUE | SIM_ACQ_NO_PIXELS | SIM_ACQ_REQUEUE_AT_ONCE;

// All below is guarded by the library's lock.
Acquisition *g_acquisitions;
Buffer *g_atOnce;      // buffers of SIM_ACQ_REQUEUE_AT_ONCE cameras waiting for their event to be reset
int32_t g_writes;      // frames being written outside the lock
uint32_t g_pass;
LONGLONG g_idleSince;  // last time an acquiring camera had a buffer
uint32_t g_serving;    // number of the thread that serves the acquisitions; 0 = none
uint32_t g_lastThread; // number given to the latest thread
HMODULE g_module;      // this library
HANDLE g_threads[kAcquisitionThreads];  // threads made and not known to have ended
HANDLE g_wake;         // auto-reset; set when the thread should look again before its wait ends

const LONGLONG kIdleMs = 200;      // the thread ends after this long without any buffer to fill
const DWORD kLongestWaitMs = 50;   // so that the idle time is seen without a wake-up

Acquisition *FindAcquisition(void *cam) noexcept
{
    for (Acquisition *a = g_acquisitions; a != nullptr; a = a->next)
        if (a->cam == cam)
            return a;
    return nullptr;
}

Acquisition *MakeAcquisition(void *cam) noexcept
{
    Acquisition *a = FindAcquisition(cam);
    if (a == nullptr) {
        a = static_cast<Acquisition *>(HeapZeroed(sizeof(Acquisition)));
        if (a == nullptr)
            return nullptr;
        a->cam = cam;
        a->lastN = -1;
        a->next = g_acquisitions;
        g_acquisitions = a;
    }
    return a;
}

void UnlinkAtOnce(Buffer *b) noexcept
{
    if (b->atOncePrev != nullptr)
        b->atOncePrev->atOnceNext = b->atOnceNext;
    else
        g_atOnce = b->atOnceNext;
    if (b->atOnceNext != nullptr)
        b->atOnceNext->atOncePrev = b->atOncePrev;
    b->atOncePrev = b->atOnceNext = nullptr;
    b->atOnce = false;
}

void DropAtOnce(void *cam) noexcept
{
    for (Buffer *b = g_atOnce; b != nullptr;) {
        Buffer *next = b->atOnceNext;
        if (b->cam == cam)
            UnlinkAtOnce(b);
        b = next;
    }
}

// Waits (the lock let go meanwhile) until no frame of cam is being written; its record may go
// during the wait, so it is looked up again: returns it, or null.
Acquisition *AwaitIdle(void *cam) noexcept
{
    for (;;) {
        Acquisition *a = FindAcquisition(cam);
        if (a == nullptr || !a->writing)
            return a;
        AwaitWrite();
    }
}

// A frame went into b (pixels written or not): marked filled, signalled, counted.
void Delivered(Acquisition *a, Buffer *b) noexcept
{
    MarkFilled(b);
    SetEvent(b->event);
    ++a->frames;
}

// Frame j.frame: pixel (x, y) = (x + y + frame) masked to the depth, row-major, 1 or 2 bytes
// (little-endian, as every Windows target is), whole pixels up to the buffer's size.
void WriteFrame(const Job &j) noexcept
{
    const uint32_t mask = (1u << j.bitsPerPixel) - 1u;
    const bool wide = j.bitsPerPixel > 8;
    const uint64_t fit = wide ? j.size / 2u : j.size;
    const uint64_t all = static_cast<uint64_t>(j.width) * j.height;
    uint32_t left = static_cast<uint32_t>(fit < all ? fit : all);
    uint8_t *row8 = j.mem;
    uint16_t *row16 = reinterpret_cast<uint16_t *>(j.mem);
    for (uint32_t y = 0; y < j.height && left > 0; ++y) {
        const uint32_t run = left < j.width ? left : j.width;
        const uint32_t start = y + j.frame;
        if (wide) {
            for (uint32_t x = 0; x < run; ++x)
                row16[x] = static_cast<uint16_t>((start + x) & mask);
            row16 += run;
        } else {
            for (uint32_t x = 0; x < run; ++x)
                row8[x] = static_cast<uint8_t>((start + x) & mask);
            row8 += run;
        }
        left -= run;
    }
}

// Moves a's schedule past frame time `now`: the next frame time, or `now` itself when the
// schedule has fallen behind (one frame at once, then pacing from there, never a burst).
void Advance(Acquisition *a, LONGLONG now) noexcept
{
    const LONGLONG frequency = Frequency();
    if (++a->slot == a->fps) {  // a whole second: keeps the products small, exactly
        a->base += frequency;
        a->slot = 0;
    }
    a->deadline = a->base + static_cast<LONGLONG>(a->slot) * frequency / a->fps;
    if (a->deadline <= now) {
        a->base = now;
        a->slot = 0;
        a->deadline = now;
    }
}

// The buffer for a's frame at `now`, or null: none (the frame is skipped), or, with *notBefore
// set, a queue head queued again less than a period ago (the frame waits for it).
Buffer *Pick(Acquisition *a, LONGLONG now, LONGLONG *notBefore) noexcept
{
    *notBefore = 0;
    if ((a->flags & SIM_ACQ_QUEUE) == 0)
        return NextBuffer(a->cam, a->lastN);
    Buffer *b = QueueHead(a->cam);
    if (b != nullptr && b->requeued) {
        // Its caller resets the event right after the allocation: a frame before then is lost.
        const LONGLONG ready = b->queuedAt + (Frequency() + a->fps - 1) / a->fps;
        if (now < ready) {
            *notBefore = ready;
            return nullptr;
        }
    }
    return b;
}

// One pass of the thread: a frame to each paced camera whose frame time has come, most overdue
// first, until one needs its pixels written: that one is handed back in *job, pinned, to be
// written unlocked.  Sets *next to the earliest next frame time.  Returns false when the thread
// should end.
bool Serve(LONGLONG now, LONGLONG *next, Job *job) noexcept
{
    bool acquiring = false, anyBuffer = false;
    ++g_pass;
    for (;;) {
        Acquisition *due = nullptr;
        for (Acquisition *a = g_acquisitions; a != nullptr; a = a->next) {
            if (!a->running)
                continue;
            acquiring = true;
            anyBuffer = anyBuffer || HasBuffers(a->cam);
            if ((a->flags & SIM_ACQ_REQUEUE_AT_ONCE) != 0 || a->writing || a->pass == g_pass || a->deadline > now)
                continue;
            if (due == nullptr || a->deadline < due->deadline)
                due = a;
        }
        if (due == nullptr)
            break;
        due->pass = g_pass;
        LONGLONG notBefore = 0;
        Buffer *b = Pick(due, now, &notBefore);
        if (notBefore != 0) {
            due->deadline = notBefore;
            continue;
        }
        if (b != nullptr) {  // no buffer: the frame is skipped and not counted
            Unqueue(b);
            due->lastN = b->n;
            if ((due->flags & SIM_ACQ_NO_PIXELS) != 0) {
                Delivered(due, b);
            } else {
                ++b->pins;
                due->writing = true;
                ++g_writes;
                *job = Job{due, b, b->mem, b->size, due->frames, due->width, due->height, due->bitsPerPixel};
                Advance(due, now);
                g_idleSince = now;
                return true;
            }
        }
        Advance(due, now);
    }
    *next = now + Frequency();
    for (const Acquisition *a = g_acquisitions; a != nullptr; a = a->next)
        if (a->running && (a->flags & SIM_ACQ_REQUEUE_AT_ONCE) == 0 && a->deadline < *next)
            *next = a->deadline;
    if (anyBuffer)
        g_idleSince = now;
    return acquiring && now - g_idleSince <= kIdleMs * Frequency() / 1000;
}

// The written frame: marked, signalled and counted; the buffer may move or go again.
void Finish(const Job &j) noexcept
{
    Delivered(j.a, j.b);
    --j.b->pins;
    j.a->writing = false;
    --g_writes;
    WriteEnded();
}

// Delivers to every waiting SIM_ACQ_REQUEUE_AT_ONCE buffer whose event its caller has reset.
// Returns true while some still wait.
bool DeliverAtOnce() noexcept
{
    bool waiting = false;
    for (Buffer *b = g_atOnce; b != nullptr;) {
        Buffer *next = b->atOnceNext;
        if (WaitForSingleObject(b->event, 0) == WAIT_TIMEOUT) {
            UnlinkAtOnce(b);
            Acquisition *a = FindAcquisition(b->cam);
            if (a != nullptr && a->running && (a->flags & SIM_ACQ_REQUEUE_AT_ONCE) != 0) {
                Unqueue(b);
                a->lastN = b->n;
                Delivered(a, b);
            }
        } else {
            waiting = true;
        }
        b = next;
    }
    return waiting;
}

// Serves while it is the serving thread; a reset or an ended acquisition makes it leave.
DWORD WINAPI AcquisitionThread(void *number)
{
    const uint32_t self = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(number));
    HMODULE module = nullptr;
    for (;;) {
        Job job = {};
        LONGLONG next = 0;
        bool polling = false;
        {
            Lock lock;
            module = g_module;
            if (g_serving != self)
                break;
            polling = DeliverAtOnce();
            if (!Serve(Now(), &next, &job)) {
                g_serving = 0;
                break;
            }
        }
        if (job.b != nullptr) {
            // Unlocked: callers go on meanwhile.  Freeing or moving the pinned buffer, a stop
            // and a reset wait for the end of the write.
            WriteFrame(job);
            Lock lock;
            Finish(job);
            continue;
        }
        if (polling) {  // only while a delivery waits for its caller: yield, then look again
            Sleep(0);
            continue;
        }
        // Closer than 2 ms to the next frame: Sleep(0) until due; else wait, woken early by
        // starts, stops, mode changes and deliveries to make.
        const LONGLONG frequency = Frequency();
        const LONGLONG busyWait = 2 * frequency / 1000;
        const LONGLONG ahead = next - Now();
        if (ahead > busyWait) {
            const LONGLONG ms = (ahead - busyWait) * 1000 / frequency;
            WaitForSingleObject(g_wake, ms < 1 ? 1 : ms > kLongestWaitMs ? kLongestWaitMs : static_cast<DWORD>(ms));
        } else {
            while (Now() < next)
                Sleep(0);
        }
    }
    // The reference taken when the thread was made: the library stays loaded up to here,
    // and unloads now if the thread held the last reference.
    FreeLibraryAndExitThread(module, 0);
}

// Makes the thread unless it runs.  The thread gets its own reference to the library, taken
// here so the library cannot go between CreateThread and the thread's first instruction.
bool EnsureThread() noexcept
{
    if (g_serving != 0)
        return true;
    // A slot for the handle: handles of threads that have ended are closed first.
    int slot = -1;
    for (int i = 0; i < kAcquisitionThreads; ++i) {
        if (g_threads[i] != nullptr && WaitForSingleObject(g_threads[i], 0) == WAIT_OBJECT_0) {
            CloseHandle(g_threads[i]);
            g_threads[i] = nullptr;
        }
        if (g_threads[i] == nullptr && slot < 0)
            slot = i;
    }
    if (slot < 0) {  // that many threads still leaving: stop keeping the oldest's handle
        CloseHandle(g_threads[0]);
        g_threads[0] = nullptr;
        slot = 0;
    }
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&g_acquisitions),
                            &module))
        return false;
    const uint32_t number = ++g_lastThread != 0 ? g_lastThread : ++g_lastThread;
    HANDLE thread = CreateThread(nullptr, 0, AcquisitionThread, reinterpret_cast<void *>(static_cast<uintptr_t>(number)),
                                 0, nullptr);
    if (thread == nullptr) {
        FreeLibrary(module);  // the caller is inside the library, so this is never the last reference
        return false;
    }
    g_module = module;
    g_threads[slot] = thread;
    g_serving = number;
    g_idleSince = Now();
    return true;
}

} // namespace

bool AcquisitionAttach() noexcept
{
    g_wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return g_wake != nullptr;
}

void AcquisitionDetach() noexcept
{
    CloseHandle(g_wake);
    g_wake = nullptr;
}

void AcquisitionBufferAdded(Buffer *b, bool again) noexcept
{
    const Acquisition *a = FindAcquisition(b->cam);
    if (a == nullptr || !a->running)
        return;
    EnsureThread();
    // A buffer handed back after a frame: its caller may reset the event before the hand-back
    // (then the status still says filled) or after it (then the event is still set).
    if (again && (a->flags & SIM_ACQ_REQUEUE_AT_ONCE) != 0 && !b->atOnce &&
        (b->status == g_family.filledStatus || WaitForSingleObject(b->event, 0) == WAIT_OBJECT_0)) {
        b->atOnce = true;
        b->atOncePrev = nullptr;
        b->atOnceNext = g_atOnce;
        if (g_atOnce != nullptr)
            g_atOnce->atOncePrev = b;
        g_atOnce = b;
        SetEvent(g_wake);
    }
}

void AcquisitionBufferGone(Buffer *b) noexcept
{
    if (b->atOnce)
        UnlinkAtOnce(b);
}

void StopAcquisitions() noexcept
{
    for (;;) {
        for (Acquisition *a = g_acquisitions; a != nullptr; a = a->next)
            a->running = false;
        while (g_atOnce != nullptr)
            UnlinkAtOnce(g_atOnce);
        if (g_writes == 0)
            break;
        AwaitWrite();  // others may start acquisitions meanwhile: stop them again
    }
    SetEvent(g_wake);
}

void ResetAcquisitions() noexcept
{
    while (g_acquisitions != nullptr) {
        Acquisition *next = g_acquisitions->next;
        HeapRelease(g_acquisitions);
        g_acquisitions = next;
    }
    while (g_atOnce != nullptr)
        UnlinkAtOnce(g_atOnce);
    g_serving = 0;
}

int TakeAcquisitionThreads(HANDLE *threads) noexcept
{
    int count = 0;
    for (HANDLE &t : g_threads) {
        if (t != nullptr)
            threads[count++] = t;
        t = nullptr;
    }
    return count;
}

} // namespace sim

using namespace sim;

extern "C" {

int32_t WINAPI SimStartAcquisition(void *hCam, uint32_t framesPerSecond, uint16_t width, uint16_t height,
                                   uint16_t bitsPerPixel) noexcept
{
    if (framesPerSecond < 1 || framesPerSecond > 100000 || width < 1 || height < 1 || bitsPerPixel < 1 ||
        bitsPerPixel > 16)
        return static_cast<int32_t>(SIM_ERR_BAD_ARG);
    Lock lock;
    AwaitIdle(hCam);  // a frame of the old settings is finished and counted first
    Acquisition *a = MakeAcquisition(hCam);
    if (a == nullptr)
        return static_cast<int32_t>(SIM_ERR_NO_MEMORY);
    a->fps = framesPerSecond;
    a->width = width;
    a->height = height;
    a->bitsPerPixel = bitsPerPixel;
    a->frames = 0;
    a->lastN = -1;
    a->base = a->deadline = Now();  // the first frame at once
    a->slot = 0;
    g_idleSince = a->base;  // a fresh grace period for finding buffers
    a->running = EnsureThread();
    SetEvent(g_wake);
    return a->running ? 0 : static_cast<int32_t>(SIM_ERR_NO_MEMORY);
}

int32_t WINAPI SimStopAcquisition(void *hCam) noexcept
{
    Lock lock;
    for (;;) {
        Acquisition *a = FindAcquisition(hCam);
        if (a == nullptr)
            break;
        a->running = false;
        DropAtOnce(hCam);
        if (!a->writing)
            break;
        AwaitWrite();  // the frame being written is finished before this returns
    }
    SetEvent(g_wake);  // so the thread ends soon if nothing else acquires
    return 0;
}

uint32_t WINAPI SimFramesDelivered(void *hCam) noexcept
{
    Lock lock;
    const Acquisition *a = FindAcquisition(hCam);
    return a != nullptr ? a->frames : 0;
}

int32_t WINAPI SimSetAcquisitionMode(void *hCam, uint32_t flags) noexcept
{
    Lock lock;
    Acquisition *a = MakeAcquisition(hCam);
    if (a == nullptr)
        return static_cast<int32_t>(SIM_ERR_NO_MEMORY);
    flags &= kKnownFlags;
    if (flags == a->flags)
        return 0;
    a->flags = flags;
    if ((flags & SIM_ACQ_REQUEUE_AT_ONCE) == 0)
        DropAtOnce(hCam);
    if (a->running) {  // pacing starts afresh
        a->base = a->deadline = Now();
        a->slot = 0;
        SetEvent(g_wake);
    }
    return 0;
}

} // extern "C"

static_assert(std::is_convertible<decltype(&SimStartAcquisition), SimStartAcquisitionFn>::value, "SimStartAcquisition");
static_assert(std::is_convertible<decltype(&SimStopAcquisition), SimStopAcquisitionFn>::value, "SimStopAcquisition");
static_assert(std::is_convertible<decltype(&SimFramesDelivered), SimFramesDeliveredFn>::value, "SimFramesDelivered");
static_assert(std::is_convertible<decltype(&SimSetAcquisitionMode), SimSetAcquisitionModeFn>::value, "SimSetAcquisitionMode");
