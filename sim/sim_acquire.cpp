// Simulated acquisition: one thread of the library writes paced frames into the buffers of acquiring cameras.
#include "sim_core.h"

#include <type_traits>

namespace sim {
namespace {

struct Acquisition {
    void *cam;
    bool running;
    uint32_t fps;
    uint16_t width, height, bitsPerPixel;
    uint32_t frames;    // frames delivered since the last start; also the next frame's number
    int32_t lastN;      // buffer that got the last frame (-1: none yet)
    LONGLONG base;      // schedule: frame time i is base + i * frequency / fps
    uint32_t slot;      // frame times passed since base
    LONGLONG deadline;  // next frame time
    Acquisition *next;
};

// All below is guarded by the library's lock.
Acquisition *g_acquisitions;
LONGLONG g_frequency;  // performance counter ticks per second
LONGLONG g_idleSince;  // last time an acquiring camera had a buffer
uint32_t g_serving;    // number of the thread that serves the acquisitions; 0 = none
uint32_t g_lastThread; // number given to the latest thread
HMODULE g_module;      // this library
HANDLE g_threads[kAcquisitionThreads];  // threads made and not known to have ended

const LONGLONG kIdleMs = 200;  // the thread ends after this long without any buffer to fill

LONGLONG Now() noexcept
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

Acquisition *FindAcquisition(void *cam) noexcept
{
    for (Acquisition *a = g_acquisitions; a != nullptr; a = a->next)
        if (a->cam == cam)
            return a;
    return nullptr;
}

// Frame a->frames: pixel (x, y) = (x + y + frame) masked to the depth, row-major, 1 or 2 bytes
// (little-endian, as every Windows target is), whole pixels up to the buffer's size.
void WriteFrame(Buffer *b, const Acquisition *a) noexcept
{
    const uint32_t mask = (1u << a->bitsPerPixel) - 1u;
    const bool wide = a->bitsPerPixel > 8;
    const uint64_t fit = wide ? b->size / 2u : b->size;
    const uint64_t all = static_cast<uint64_t>(a->width) * a->height;
    uint32_t left = static_cast<uint32_t>(fit < all ? fit : all);
    uint8_t *row8 = b->mem;
    uint16_t *row16 = reinterpret_cast<uint16_t *>(b->mem);
    for (uint32_t y = 0; y < a->height && left > 0; ++y) {
        const uint32_t run = left < a->width ? left : a->width;
        const uint32_t start = y + a->frames;
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
    MarkFilled(b);
    SetEvent(b->event);
}

// Moves a's schedule past frame time `now`: the next frame time, or `now` itself when the
// schedule has fallen behind (one frame at once, then pacing from there, never a burst).
void Advance(Acquisition *a, LONGLONG now) noexcept
{
    if (++a->slot == a->fps) {  // a whole second: keeps the products small, exactly
        a->base += g_frequency;
        a->slot = 0;
    }
    a->deadline = a->base + static_cast<LONGLONG>(a->slot) * g_frequency / a->fps;
    if (a->deadline <= now) {
        a->base = now;
        a->slot = 0;
        a->deadline = now;
    }
}

// One pass of the thread: at most one frame to every acquiring camera whose frame time has
// come.  Sets *next to the earliest next frame time.  Returns false when the thread should end.
bool Serve(LONGLONG now, LONGLONG *next) noexcept
{
    bool acquiring = false, anyBuffer = false;
    *next = now + g_frequency;
    for (Acquisition *a = g_acquisitions; a != nullptr; a = a->next) {
        if (!a->running)
            continue;
        acquiring = true;
        Buffer *b = NextBuffer(a->cam, a->lastN);
        anyBuffer = anyBuffer || b != nullptr;
        if (now >= a->deadline) {
            if (b != nullptr) {  // no buffer: the frame is skipped and not counted
                WriteFrame(b, a);
                a->lastN = b->n;
                ++a->frames;
            }
            Advance(a, now);
        }
        if (a->deadline < *next)
            *next = a->deadline;
    }
    if (anyBuffer)
        g_idleSince = now;
    return acquiring && now - g_idleSince <= kIdleMs * g_frequency / 1000;
}

// Serves while it is the serving thread; a reset or an ended acquisition makes it leave.
DWORD WINAPI AcquisitionThread(void *number)
{
    const uint32_t self = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(number));
    HMODULE module = nullptr;
    for (;;) {
        LONGLONG next = 0, busyWait = 0;
        {
            Lock lock;
            module = g_module;
            if (g_serving != self)
                break;
            if (!Serve(Now(), &next)) {
                g_serving = 0;
                break;
            }
            busyWait = 2 * g_frequency / 1000;  // closer than 2 ms to the next frame: Sleep(0) until due
        }
        // Unlocked; the lock is taken again at least every millisecond or so, which is how
        // starts, stops and buffer changes are seen.
        if (next - Now() > busyWait)
            Sleep(1);
        else
            while (Now() < next)
                Sleep(0);
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

void AcquisitionBufferAdded(void *cam) noexcept
{
    const Acquisition *a = FindAcquisition(cam);
    if (a != nullptr && a->running)
        EnsureThread();
}

void ResetAcquisitions() noexcept
{
    while (g_acquisitions != nullptr) {
        Acquisition *next = g_acquisitions->next;
        HeapRelease(g_acquisitions);
        g_acquisitions = next;
    }
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
    if (g_frequency == 0) {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        g_frequency = f.QuadPart;
    }
    Acquisition *a = FindAcquisition(hCam);
    if (a == nullptr) {
        a = static_cast<Acquisition *>(HeapZeroed(sizeof(Acquisition)));
        if (a == nullptr)
            return static_cast<int32_t>(SIM_ERR_NO_MEMORY);
        a->cam = hCam;
        a->next = g_acquisitions;
        g_acquisitions = a;
    }
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
    return a->running ? 0 : static_cast<int32_t>(SIM_ERR_NO_MEMORY);
}

int32_t WINAPI SimStopAcquisition(void *hCam) noexcept
{
    Lock lock;
    Acquisition *a = FindAcquisition(hCam);
    if (a != nullptr)
        a->running = false;  // frames are written under the lock, so none follows
    return 0;
}

uint32_t WINAPI SimFramesDelivered(void *hCam) noexcept
{
    Lock lock;
    const Acquisition *a = FindAcquisition(hCam);
    return a != nullptr ? a->frames : 0;
}

} // extern "C"

static_assert(std::is_convertible<decltype(&SimStartAcquisition), SimStartAcquisitionFn>::value, "SimStartAcquisition");
static_assert(std::is_convertible<decltype(&SimStopAcquisition), SimStopAcquisitionFn>::value, "SimStopAcquisition");
static_assert(std::is_convertible<decltype(&SimFramesDelivered), SimFramesDeliveredFn>::value, "SimFramesDelivered");
