// Self-test of the simulated camera libraries: sim_selftest <sim folder> (the one holding full/ and the variants).
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "sim_control.h"

#include "selftest_check.h"

typedef uint32_t(WINAPI *AllocateBufferExFn)(void *, int32_t *, uint32_t, uint32_t *, void **);
typedef uint32_t(WINAPI *AllocateBufferFn)(void *, int32_t *, uint32_t *);
typedef uint32_t(WINAPI *MapBufferFn)(void *, int32_t, uint32_t, uint32_t, void **);
typedef uint32_t(WINAPI *SetBufferEventFn)(void *, int32_t, uint32_t *);
typedef uint32_t(WINAPI *NumberFn)(void *, int32_t);
typedef uint32_t(WINAPI *CameraFn)(void *);
typedef uint32_t(WINAPI *GetBufferStatusFn)(void *, int32_t, uint32_t, uint32_t *, int32_t);
typedef uint32_t(WINAPI *VorAllocateBufferFn)(void *, int16_t *, uint32_t, void **, uint32_t *);
typedef uint32_t(WINAPI *VorNumberFn)(void *, int16_t);
typedef uint32_t(WINAPI *VorGetBufferStatusFn)(void *, int16_t, uint32_t *, uint32_t *);
typedef uint32_t(WINAPI *VorGetPendingBufferFn)(void *, int32_t *);
typedef uint32_t(WINAPI *VorGetImageFn)(void *, uint16_t, uint32_t, uint32_t, int16_t);
typedef uint32_t(WINAPI *VorGetImageExFn)(void *, uint16_t, uint32_t, uint32_t, int16_t, uint16_t, uint16_t, uint16_t);
typedef uint32_t(WINAPI *VorGetBufferFn)(void *, int16_t, void **);

static const char *const kControlNames[] = {
    "SimReset", "SimFail", "SimSetNullAddress", "SimSetStatus", "SimFillBuffer", "SimSignal", "SimBufferAddress",
    "SimBufferSize", "SimBufferEvent", "SimBufferCount", "SimSetPending", "SimTraceCount", "SimTraceLine",
    "SimTraceClear", "SimStartAcquisition", "SimStopAcquisition", "SimFramesDelivered", "SimSetAcquisitionMode",
    "SimSetDelay", "SimCallsEntered", "SimCallsReturned", "SimSetSignalOnFree", "SimSetTracing", nullptr};
static const char *const kLanEntries[] = {"ALLOCATE_BUFFER_EX", "MAP_BUFFER", "UNMAP_BUFFER",
    "REMOVE_ALL_BUFFERS_FROM_LIST", "FREE_BUFFER", "GETBUFFER_STATUS", nullptr};
static const char *const kTnEntries[] = {"ALLOCATE_BUFFER", "MAP_BUFFER", "SETBUFFER_EVENT", "UNMAP_BUFFER",
    "REMOVE_ALL_BUFFERS_FROM_LIST", "FREE_BUFFER", "GETBUFFER_STATUS", nullptr};
static const char *const kQd4Entries[] = {"VOR_AllocateBuffer", "VOR_FreeBuffer", "VOR_GetBufferStatus",
    "VOR_GetPendingBuffer", "VOR_CancelImages", "VOR_GetImage", "VOR_GetImageEx", "VOR_GetBuffer", nullptr};

template <class T> static T Proc(HMODULE m, const char *name) { return reinterpret_cast<T>(GetProcAddress(m, name)); }

struct Lib {
    int family;  // 1 Lanticam, 2 Tornio, 3 QD4
    const char *file;
    const char *const *entries;
    const char *allocName, *freeName;
    HMODULE mod;
    SimResetFn reset; SimFailFn fail; SimSetNullAddressFn nullAddress; SimSetStatusFn setStatus;
    SimFillBufferFn fill; SimSignalFn signal; SimBufferAddressFn address; SimBufferSizeFn size;
    SimBufferEventFn event; SimBufferCountFn count; SimSetPendingFn setPending; SimTraceCountFn traceCount;
    SimTraceLineFn traceLine; SimTraceClearFn traceClear;
    SimStartAcquisitionFn start; SimStopAcquisitionFn stop; SimFramesDeliveredFn frames;
    SimSetAcquisitionModeFn setMode; SimSetDelayFn setDelay; SimCallsEnteredFn entered; SimCallsReturnedFn returned;
    SimSetSignalOnFreeFn signalOnFree; SimSetTracingFn tracing;
    AllocateBufferExFn allocEx; AllocateBufferFn alloc; MapBufferFn map; SetBufferEventFn setEvent;
    NumberFn unmap, freeBuffer; CameraFn removeAll; GetBufferStatusFn status;
    VorAllocateBufferFn vorAlloc; VorNumberFn vorFree; VorGetBufferStatusFn vorStatus;
    VorGetPendingBufferFn vorPending; CameraFn vorCancel; VorGetImageFn vorImage; VorGetImageExFn vorImageEx;
    VorGetBufferFn vorBuffer;
};

static char g_dir[MAX_PATH];

static void FullPath(const Lib &L, char *path, size_t size) { snprintf(path, size, "%s\\full\\%s", g_dir, L.file); }

static bool Load(Lib &L)
{
    char path[MAX_PATH * 2];
    FullPath(L, path, sizeof path);
    L.mod = LoadLibraryA(path);
    ok(L.mod != nullptr, "LoadLibraryA(%s) failed, error %lu", path, GetLastError());
    if (L.mod == nullptr)
        return false;
    for (const char *const *name = kControlNames; *name; ++name)
        ok(GetProcAddress(L.mod, *name) != nullptr, "%s lacks %s", L.file, *name);
    for (const char *const *name = L.entries; *name; ++name)
        ok(GetProcAddress(L.mod, *name) != nullptr, "%s lacks %s", L.file, *name);
    HMODULE m = L.mod;
    L.reset = Proc<SimResetFn>(m, "SimReset"); L.fail = Proc<SimFailFn>(m, "SimFail");
    L.nullAddress = Proc<SimSetNullAddressFn>(m, "SimSetNullAddress");
    L.setStatus = Proc<SimSetStatusFn>(m, "SimSetStatus"); L.fill = Proc<SimFillBufferFn>(m, "SimFillBuffer");
    L.signal = Proc<SimSignalFn>(m, "SimSignal"); L.address = Proc<SimBufferAddressFn>(m, "SimBufferAddress");
    L.size = Proc<SimBufferSizeFn>(m, "SimBufferSize"); L.event = Proc<SimBufferEventFn>(m, "SimBufferEvent");
    L.count = Proc<SimBufferCountFn>(m, "SimBufferCount"); L.setPending = Proc<SimSetPendingFn>(m, "SimSetPending");
    L.traceCount = Proc<SimTraceCountFn>(m, "SimTraceCount"); L.traceLine = Proc<SimTraceLineFn>(m, "SimTraceLine");
    L.traceClear = Proc<SimTraceClearFn>(m, "SimTraceClear");
    L.start = Proc<SimStartAcquisitionFn>(m, "SimStartAcquisition");
    L.stop = Proc<SimStopAcquisitionFn>(m, "SimStopAcquisition");
    L.frames = Proc<SimFramesDeliveredFn>(m, "SimFramesDelivered");
    L.setMode = Proc<SimSetAcquisitionModeFn>(m, "SimSetAcquisitionMode");
    L.setDelay = Proc<SimSetDelayFn>(m, "SimSetDelay");
    L.entered = Proc<SimCallsEnteredFn>(m, "SimCallsEntered");
    L.returned = Proc<SimCallsReturnedFn>(m, "SimCallsReturned");
    L.signalOnFree = Proc<SimSetSignalOnFreeFn>(m, "SimSetSignalOnFree");
    L.tracing = Proc<SimSetTracingFn>(m, "SimSetTracing");
    L.allocEx = Proc<AllocateBufferExFn>(m, "ALLOCATE_BUFFER_EX"); L.alloc = Proc<AllocateBufferFn>(m, "ALLOCATE_BUFFER");
    L.map = Proc<MapBufferFn>(m, "MAP_BUFFER"); L.setEvent = Proc<SetBufferEventFn>(m, "SETBUFFER_EVENT");
    L.unmap = Proc<NumberFn>(m, "UNMAP_BUFFER"); L.freeBuffer = Proc<NumberFn>(m, "FREE_BUFFER");
    L.removeAll = Proc<CameraFn>(m, "REMOVE_ALL_BUFFERS_FROM_LIST");
    L.status = Proc<GetBufferStatusFn>(m, "GETBUFFER_STATUS");
    L.vorAlloc = Proc<VorAllocateBufferFn>(m, "VOR_AllocateBuffer"); L.vorFree = Proc<VorNumberFn>(m, "VOR_FreeBuffer");
    L.vorStatus = Proc<VorGetBufferStatusFn>(m, "VOR_GetBufferStatus");
    L.vorPending = Proc<VorGetPendingBufferFn>(m, "VOR_GetPendingBuffer");
    L.vorCancel = Proc<CameraFn>(m, "VOR_CancelImages"); L.vorImage = Proc<VorGetImageFn>(m, "VOR_GetImage");
    L.vorImageEx = Proc<VorGetImageExFn>(m, "VOR_GetImageEx"); L.vorBuffer = Proc<VorGetBufferFn>(m, "VOR_GetBuffer");
    for (const char *const *name = kControlNames; *name; ++name)
        if (GetProcAddress(m, *name) == nullptr)
            return false;
    for (const char *const *name = L.entries; *name; ++name)
        if (GetProcAddress(m, *name) == nullptr)
            return false;
    return true;
}

// The family's way to get a buffer with its address and event (Tornio asks for them apart).
static uint32_t Alloc(Lib &L, void *h, int32_t *n, uint32_t size, void **addr, uint32_t *ev)
{
    if (L.family == 1)
        return L.allocEx(h, n, size, ev, addr);
    if (L.family == 2) {
        uint32_t rc = L.alloc(h, n, &size);
        if (rc == 0)
            rc = L.map(h, *n, size, 0, addr);
        if (rc == 0)
            rc = L.setEvent(h, *n, ev);
        return rc;
    }
    int16_t n16 = static_cast<int16_t>(*n);
    const uint32_t rc = L.vorAlloc(h, &n16, size, addr, ev);
    *n = n16;
    return rc;
}

static uint32_t New(Lib &L, void *h, uint32_t size, int32_t *n, void **addr = nullptr, uint32_t *ev = nullptr)
{
    void *a = nullptr;
    uint32_t e = 0;
    *n = -1;
    return Alloc(L, h, n, size, addr ? addr : &a, ev ? ev : &e);
}

static uint32_t FreeBuf(Lib &L, void *h, int32_t n)
{
    return L.family == 3 ? L.vorFree(h, static_cast<int16_t>(n)) : L.freeBuffer(h, n);
}

static uint32_t Status(Lib &L, void *h, int32_t n, uint32_t *status, uint32_t *driver)
{
    if (L.family == 3)
        return L.vorStatus(h, static_cast<int16_t>(n), status, driver);
    uint32_t area[3] = {0, 0, 0};
    const uint32_t rc = L.status(h, n, 0, area, static_cast<int32_t>(sizeof area));
    if (rc == 0) {
        *status = area[0];
        *driver = 0;
    }
    return rc;
}

static HANDLE AsHandle(uint32_t value) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value)); }

static bool IsPattern(const uint8_t *p, size_t from, size_t to, uint32_t seed)
{
    for (size_t i = from; i < to; ++i)
        if (p[i] != static_cast<uint8_t>((seed + i * 7) & 0xFF))
            return false;
    return true;
}

static bool IsZero(const uint8_t *p, size_t from, size_t to)
{
    for (size_t i = from; i < to; ++i)
        if (p[i] != 0)
            return false;
    return true;
}

// Checks that the trace holds exactly `expected` (null-terminated), oldest first.
static void CheckTrace(Lib &L, const char *what, const char *const *expected)
{
    int32_t count = 0;
    while (expected[count])
        ++count;
    ok(L.traceCount() == count, "%s %s: %d trace lines, expected %d", L.file, what, L.traceCount(), count);
    for (int32_t i = 0; i < count; ++i) {
        char line[256] = "";
        const int32_t length = L.traceLine(i, line, static_cast<int32_t>(sizeof line));
        ok(length == static_cast<int32_t>(strlen(expected[i])) && strcmp(line, expected[i]) == 0,
           "%s %s: trace line %d is \"%s\", expected \"%s\"", L.file, what, i, line, expected[i]);
    }
}

struct Stress { Lib *lib; void *cam; int failures; };

static DWORD WINAPI StressThread(void *arg)
{
    Stress *s = static_cast<Stress *>(arg);
    for (int i = 0; i < 100; ++i) {
        int32_t n = -1;
        if (New(*s->lib, s->cam, 256, &n) != 0 || n != 0 || FreeBuf(*s->lib, s->cam, n) != 0)
            ++s->failures;
    }
    return 0;
}

static void TestCommon(Lib &L)
{
    void *const h1 = reinterpret_cast<void *>(0x1001), *const h2 = reinterpret_cast<void *>(0x2002);
    const char *f = L.file;
    L.reset();
    ok(L.count() == 0 && L.traceCount() == 0, "%s: not empty after reset", f);

    // Numbering from 0 per camera, lowest free number reused.
    int32_t n[4];
    for (int i = 0; i < 3; ++i)
        ok(New(L, h1, 4096, &n[i]) == 0 && n[i] == i, "%s: buffer %d numbered %d", f, i, n[i]);
    ok(New(L, h2, 4096, &n[3]) == 0 && n[3] == 0, "%s: second camera's first buffer numbered %d", f, n[3]);
    ok(L.count() == 4, "%s: %d buffers, expected 4", f, L.count());
    ok(FreeBuf(L, h1, 1) == 0, "%s: free 1 failed", f);
    ok(New(L, h1, 4096, &n[0]) == 0 && n[0] == 1, "%s: reused number %d, expected 1", f, n[0]);
    ok(FreeBuf(L, h1, 5) == SIM_ERR_NO_BUFFER, "%s: free of a missing buffer", f);
    ok(L.address(h1, 0) != L.address(h2, 0) && L.event(h1, 0) != L.event(h2, 0), "%s: cameras share a buffer", f);

    // Memory: zeroed, reported by the control calls; event: real and manual-reset.
    L.reset();
    int32_t b = -1;
    void *addr = nullptr;
    uint32_t ev = 0;
    ok(New(L, h1, 1000, &b, &addr, &ev) == 0, "%s: allocation failed", f);
    uint8_t *mem = static_cast<uint8_t *>(addr);
    ok(mem != nullptr && mem == L.address(h1, b) && L.size(h1, b) == 1000 && IsZero(mem, 0, 1000),
       "%s: memory %p not as reported or not zeroed", f, addr);
    ok(ev != 0 && ev == L.event(h1, b), "%s: event %x, control says %x", f, ev, L.event(h1, b));
    ok(WaitForSingleObject(AsHandle(ev), 0) == WAIT_TIMEOUT, "%s: new event is signalled", f);
    ok(L.signal(h1, b, 1) == 0 && WaitForSingleObject(AsHandle(ev), 0) == WAIT_OBJECT_0 &&
       WaitForSingleObject(AsHandle(ev), 0) == WAIT_OBJECT_0, "%s: event not set or not manual-reset", f);
    ok(L.signal(h1, b, 0) == 0 && WaitForSingleObject(AsHandle(ev), 0) == WAIT_TIMEOUT, "%s: event not reset", f);

    // Status words and the fill pattern.
    uint32_t st = 0xFFFF, drv = 0xFFFF;
    ok(Status(L, h1, b, &st, &drv) == 0 && st == 0 && drv == 0, "%s: status %x/%x after allocation", f, st, drv);
    ok(L.fill(h1, b, 3, 1) == 0 && IsPattern(mem, 0, 1000, 3), "%s: fill pattern wrong", f);
    ok(WaitForSingleObject(AsHandle(ev), 0) == WAIT_OBJECT_0, "%s: fill did not signal", f);
    const uint32_t filled = L.family == 3 ? 0x8000u : 2u;
    ok(Status(L, h1, b, &st, &drv) == 0 && st == filled && drv == 0, "%s: status %x/%x after fill", f, st, drv);
    ok(L.setStatus(h1, b, 0x11, 0x22) == 0 && Status(L, h1, b, &st, &drv) == 0 && st == 0x11 &&
       drv == (L.family == 3 ? 0x22u : 0u), "%s: status %x/%x after SimSetStatus", f, st, drv);
    ok(L.setStatus(h2, b, 1, 1) == -1 && L.fill(h2, b, 1, 0) == -1 && L.signal(h2, b, 1) == -1 &&
       L.address(h2, b) == nullptr && L.size(h2, b) == 0 && L.event(h2, b) == 0,
       "%s: control calls on a missing buffer", f);
    st = drv = 0x77;
    ok(Status(L, h2, 0, &st, &drv) == SIM_ERR_NO_BUFFER && st == 0x77 && drv == 0x77, "%s: status of missing", f);

    // Re-allocation grows, keeps contents and event, zeroes the rest; never shrinks.
    int32_t same = b;
    uint32_t ev2 = 0;
    ok(Alloc(L, h1, &same, 3000, &addr, &ev2) == 0 && same == b && ev2 == ev && L.size(h1, b) == 3000,
       "%s: re-allocation changed number %d or event, or size %u", f, same, L.size(h1, b));
    mem = static_cast<uint8_t *>(addr);
    ok(mem == L.address(h1, b) && IsPattern(mem, 0, 1000, 3) && IsZero(mem, 1000, 3000),
       "%s: grown buffer lost contents or is not zeroed", f);
    ok(Alloc(L, h1, &same, 100, &addr, &ev2) == 0 && L.size(h1, b) == 3000, "%s: re-allocation shrank", f);
    int32_t missing = 7;
    ok(Alloc(L, h1, &missing, 100, &addr, &ev2) == SIM_ERR_NO_BUFFER, "%s: re-allocation of a missing buffer", f);
    ok(New(L, h1, 0, &missing) == SIM_ERR_BAD_ARG && L.count() == 1, "%s: size 0 accepted", f);

    // Faults: the nth call fails and changes nothing; persistent faults go on until removed.
    L.fail(L.allocName, 0xE1, 2, 0);
    int32_t n1 = -1, n2 = -1, n3 = -1;
    ok(New(L, h1, 64, &n1) == 0 && n1 == 1, "%s: call before the fault failed", f);
    void *a2 = reinterpret_cast<void *>(0x55);
    uint32_t e2 = 0x66;
    n2 = -1;
    ok(Alloc(L, h1, &n2, 64, &a2, &e2) == 0xE1 && n2 == -1 && a2 == reinterpret_cast<void *>(0x55) && e2 == 0x66 &&
       L.count() == 2, "%s: failing allocation changed something (n %d)", f, n2);
    char line[256] = "";
    L.traceLine(L.traceCount() - 1, line, static_cast<int32_t>(sizeof line));
    ok(strstr(line, L.allocName) == line && strstr(line, " -> e1") != nullptr, "%s: fault traced as \"%s\"", f, line);
    ok(New(L, h1, 64, &n3) == 0 && n3 == 2, "%s: call after the fault: number %d", f, n3);
    L.fail(L.freeName, 0xE2, 1, 1);
    ok(FreeBuf(L, h1, n3) == 0xE2 && FreeBuf(L, h1, n3) == 0xE2 && L.count() == 3, "%s: persistent fault", f);
    L.fail(L.freeName, 0, 0, 0);
    ok(FreeBuf(L, h1, n3) == 0 && L.count() == 2, "%s: fault not removed", f);

    // Free closes the event and forgets the buffer.
    ev = L.event(h1, n1);
    ok(FreeBuf(L, h1, n1) == 0 && WaitForSingleObject(AsHandle(ev), 0) == WAIT_FAILED, "%s: event not closed", f);
    ok(L.address(h1, n1) == nullptr && L.event(h1, n1) == 0 && L.count() == 1 && FreeBuf(L, h1, n1) == SIM_ERR_NO_BUFFER,
       "%s: freed buffer still known", f);

    // Reset forgets buffers, faults and trace.
    L.fail(L.allocName, 0xE3, 1, 1);
    L.reset();
    ok(L.count() == 0 && L.traceCount() == 0 && New(L, h1, 64, &b) == 0 && b == 0, "%s: reset incomplete", f);

    // The trace keeps 4096 lines and counts the rest; SimTraceLine truncates but reports the full length.
    L.traceClear();
    for (int i = 0; i < 4100; ++i)
        FreeBuf(L, h2, 3);
    char cut[8];
    const int32_t full = L.traceLine(4095, line, static_cast<int32_t>(sizeof line));
    ok(L.traceCount() == 4100 && full > 8 && L.traceLine(4096, line, 8) == -1 && L.traceLine(-1, line, 8) == -1,
       "%s: trace count %d, line 4095 length %d", f, L.traceCount(), full);
    ok(L.traceLine(0, cut, sizeof cut) == full && strlen(cut) == 7 && strncmp(cut, line, 7) == 0 &&
       L.traceLine(0, nullptr, 0) == full, "%s: truncated trace line \"%s\"", f, cut);

    // Several threads at once, each on its own camera.
    L.reset();
    Stress s[4];
    HANDLE threads[4];
    for (int i = 0; i < 4; ++i) {
        s[i] = Stress{&L, reinterpret_cast<void *>(static_cast<uintptr_t>(0x100 + i)), 0};
        threads[i] = CreateThread(nullptr, 0, StressThread, &s[i], 0, nullptr);
    }
    WaitForMultipleObjects(4, threads, TRUE, INFINITE);
    for (int i = 0; i < 4; ++i) {
        CloseHandle(threads[i]);
        ok(s[i].failures == 0, "%s: thread %d had %d failures", f, i, s[i].failures);
    }
    const int32_t callsPerRound = L.family == 2 ? 4 : 2;
    ok(L.count() == 0 && L.traceCount() == 4 * 100 * callsPerRound, "%s: %d buffers, %d trace lines after threads",
       f, L.count(), L.traceCount());
    L.reset();
}

static void TestLan(Lib &L)
{
    void *const h = reinterpret_cast<void *>(static_cast<uintptr_t>(0x12345678ABCull));
    L.reset();
    int32_t n = -1;
    uint32_t ev = 0x77, area[3] = {9, 9, 9};
    void *addr = reinterpret_cast<void *>(0x1000), *mapped = nullptr;
    ok(L.allocEx(h, &n, 64, &ev, &addr) == 0 && n == 0, "Lan: allocation failed");
    ok(L.map(h, 0, 64, 1, &mapped) == 0 && mapped == addr, "Lan: MAP_BUFFER address differs");
    ok(L.unmap(h, 0) == 0 && L.unmap(h, 3) == SIM_ERR_NO_BUFFER, "Lan: UNMAP_BUFFER");
    ok(L.status(h, 0, 0, area, 4) == 0 && area[0] == 0 && area[1] == 9, "Lan: partial status area %x %x", area[0], area[1]);
    ok(L.status(h, 0, 0, area, 12) == 0 && area[0] == 0 && area[1] == 64 && area[2] == 0, "Lan: status area");
    area[0] = area[1] = area[2] = 5;
    ok(L.status(h, 9, 0, area, 12) == SIM_ERR_NO_BUFFER && area[0] == 5 && area[1] == 5 && area[2] == 5,
       "Lan: status area of a missing buffer was written");
    ok(L.removeAll(h) == 0, "Lan: REMOVE_ALL_BUFFERS_FROM_LIST");
    int32_t *none = nullptr;
    ev = 0;
    addr = nullptr;
    ok(L.allocEx(h, none, 64, &ev, &addr) == SIM_ERR_BAD_ARG, "Lan: null number accepted");
    ok(L.freeBuffer(h, 0) == 0 && L.freeBuffer(h, 0) == SIM_ERR_NO_BUFFER, "Lan: FREE_BUFFER");
    const char *const lines[] = {"ALLOCATE_BUFFER_EX h=12345678abc n=-1 size=64 event=77 addr=1000 -> 0",
        "MAP_BUFFER h=12345678abc n=0 size=64 zero=1 -> 0", "UNMAP_BUFFER h=12345678abc n=0 -> 0",
        "UNMAP_BUFFER h=12345678abc n=3 -> 80043003", "GETBUFFER_STATUS h=12345678abc n=0 mode=0 len=4 -> 0",
        "GETBUFFER_STATUS h=12345678abc n=0 mode=0 len=12 -> 0",
        "GETBUFFER_STATUS h=12345678abc n=9 mode=0 len=12 -> 80043003", "REMOVE_ALL_BUFFERS_FROM_LIST h=12345678abc -> 0",
        "ALLOCATE_BUFFER_EX h=12345678abc n=0 size=64 event=0 addr=0 -> 80043001",
        "FREE_BUFFER h=12345678abc n=0 -> 0", "FREE_BUFFER h=12345678abc n=0 -> 80043003", nullptr};
    CheckTrace(L, "trace", lines);

    // Null-address mode: ALLOCATE_BUFFER_EX leaves the address alone, MAP_BUFFER writes null.
    L.reset();
    L.nullAddress("ALLOCATE_BUFFER_EX", 1);
    n = -1;
    addr = nullptr;
    ok(L.allocEx(h, &n, 64, &ev, &addr) == 0 && addr == nullptr && n == 0, "Lan: null-address mode gave %p", addr);
    addr = reinterpret_cast<void *>(0x1234);
    ok(L.allocEx(h, &n, 64, &ev, &addr) == 0 && addr == reinterpret_cast<void *>(0x1234), "Lan: address overwritten");
    ok(L.map(h, 0, 64, 0, &mapped) == 0 && mapped == L.address(h, 0) && mapped != nullptr, "Lan: map after null address");
    L.nullAddress("MAP_BUFFER", 1);
    mapped = reinterpret_cast<void *>(0x99);
    ok(L.map(h, 0, 64, 0, &mapped) == 0 && mapped == nullptr, "Lan: MAP_BUFFER null-address mode gave %p", mapped);
    L.reset();
    n = -1;
    ok(L.allocEx(h, &n, 64, &ev, &addr) == 0 && addr != nullptr, "Lan: reset kept null-address mode");
    L.reset();
}

static void TestTn(Lib &L)
{
    void *const h = reinterpret_cast<void *>(0xABC);
    L.reset();
    int32_t n = -1;
    uint32_t size = 128, ev = 0;
    void *mapped = nullptr;
    ok(L.alloc(h, &n, &size) == 0 && n == 0 && size == 128, "Tn: ALLOCATE_BUFFER");
    ok(L.setEvent(h, 0, &ev) == 0 && ev == L.event(h, 0) && ev != 0, "Tn: SETBUFFER_EVENT");
    ok(L.setEvent(h, 1, &ev) == SIM_ERR_NO_BUFFER, "Tn: SETBUFFER_EVENT of a missing buffer");
    ok(L.map(h, 0, 128, 0, &mapped) == 0 && mapped == L.address(h, 0) && mapped != nullptr, "Tn: MAP_BUFFER");
    L.nullAddress("MAP_BUFFER", 1);
    ok(L.map(h, 0, 128, 0, &mapped) == 0 && mapped == nullptr, "Tn: MAP_BUFFER null-address mode");
    ok(L.alloc(h, &n, nullptr) == SIM_ERR_BAD_ARG, "Tn: null size accepted");
    ok(L.freeBuffer(h, 0) == 0, "Tn: FREE_BUFFER");
    char evLine[128];
    snprintf(evLine, sizeof evLine, "SETBUFFER_EVENT h=abc n=1 event=%x -> 80043003", ev);
    const char *const lines[] = {"ALLOCATE_BUFFER h=abc n=-1 size=128 -> 0", "SETBUFFER_EVENT h=abc n=0 event=0 -> 0",
        evLine, "MAP_BUFFER h=abc n=0 size=128 zero=0 -> 0", "MAP_BUFFER h=abc n=0 size=128 zero=0 -> 0",
        "ALLOCATE_BUFFER h=abc n=0 size=0 -> 80043001", "FREE_BUFFER h=abc n=0 -> 0", nullptr};
    CheckTrace(L, "trace", lines);
    L.reset();
}

static void TestQd4(Lib &L)
{
    void *const h = reinterpret_cast<void *>(0xABC), *const other = reinterpret_cast<void *>(0xDEF);
    L.reset();
    int16_t n = -1;
    void *addr = nullptr, *got = nullptr;
    uint32_t ev = 0, st = 0, drv = 0;
    int32_t pending = -1;
    ok(L.vorAlloc(h, &n, 64, &addr, &ev) == 0 && n == 0 && addr != nullptr, "QD4: VOR_AllocateBuffer");
    L.setPending(h, 5);
    ok(L.vorPending(h, &pending) == 0 && pending == 5, "QD4: pending %d, expected 5", pending);
    ok(L.vorPending(other, &pending) == 0 && pending == 0, "QD4: other camera pending %d", pending);
    ok(L.vorCancel(h) == 0 && L.vorPending(h, &pending) == 0 && pending == 0, "QD4: cancel left %d", pending);
    const uint8_t *mem = static_cast<const uint8_t *>(addr);
    ok(L.vorImage(h, 2, 5, 6, 0) == 0 && IsPattern(mem, 0, 64, 2005), "QD4: VOR_GetImage pattern");
    ok(L.vorStatus(h, 0, &st, &drv) == 0 && st == 0x8000 && drv == 0, "QD4: status %x/%x after image", st, drv);
    int16_t n2 = -1;
    void *addr2 = nullptr;
    const uint32_t ev0 = ev;
    ok(L.vorAlloc(h, &n2, 64, &addr2, &ev) == 0 && n2 == 1, "QD4: second buffer");
    const uint8_t *mem2 = static_cast<const uint8_t *>(addr2);
    ok(L.vorImageEx(h, 1, 3, 3, 1, 4, 2, 12) == 0 && IsPattern(mem2, 0, 16, 1003) && IsZero(mem2, 16, 64),
       "QD4: VOR_GetImageEx 4x2 at 12 bits must fill 16 bytes");
    ok(L.vorImageEx(h, 0, 0, 0, 1, 100, 100, 8) == 0 && IsPattern(mem2, 0, 64, 0), "QD4: VOR_GetImageEx past size");
    ok(L.vorImage(h, 0, 0, 0, 9) == SIM_ERR_NO_BUFFER && L.vorImageEx(h, 0, 0, 0, 9, 1, 1, 8) == SIM_ERR_NO_BUFFER,
       "QD4: image into a missing buffer");
    ok(L.vorBuffer(h, 0, &got) == 0 && got == addr, "QD4: VOR_GetBuffer");
    L.nullAddress("VOR_AllocateBuffer", 1);
    int16_t n3 = -1;
    const uint32_t ev1 = ev;
    void *addr3 = reinterpret_cast<void *>(0x42);
    ok(L.vorAlloc(h, &n3, 64, &addr3, &ev) == 0 && n3 == 2 && addr3 == nullptr, "QD4: null-address mode gave %p", addr3);
    ok(L.vorAlloc(h, nullptr, 64, &addr3, &ev) == SIM_ERR_BAD_ARG && L.vorStatus(h, 0, nullptr, &drv) == SIM_ERR_BAD_ARG,
       "QD4: null pointers accepted");
    ok(L.vorFree(h, 2) == 0 && L.vorFree(h, 1) == 0, "QD4: VOR_FreeBuffer");
    ok(L.vorStatus(h, 1, &st, &drv) == SIM_ERR_NO_BUFFER, "QD4: status of a freed buffer");
    // Later allocations print the event value left in the in/out variable by the one before.
    char alloc1[160], alloc2[160], alloc3[160];
    snprintf(alloc1, sizeof alloc1, "VOR_AllocateBuffer h=abc n=-1 size=64 addr=0 event=%x -> 0", ev0);
    snprintf(alloc2, sizeof alloc2, "VOR_AllocateBuffer h=abc n=-1 size=64 addr=42 event=%x -> 0", ev1);
    snprintf(alloc3, sizeof alloc3, "VOR_AllocateBuffer h=abc n=0 size=64 addr=0 event=%x -> 80043001", ev);
    const char *const lines[] = {"VOR_AllocateBuffer h=abc n=-1 size=64 addr=0 event=0 -> 0",
        "VOR_GetPendingBuffer h=abc -> 0", "VOR_GetPendingBuffer h=def -> 0", "VOR_CancelImages h=abc -> 0",
        "VOR_GetPendingBuffer h=abc -> 0", "VOR_GetImage h=abc seg=2 first=5 last=6 n=0 -> 0",
        "VOR_GetBufferStatus h=abc n=0 -> 0", alloc1,
        "VOR_GetImageEx h=abc seg=1 first=3 last=3 n=1 width=4 height=2 bpp=12 -> 0",
        "VOR_GetImageEx h=abc seg=0 first=0 last=0 n=1 width=100 height=100 bpp=8 -> 0",
        "VOR_GetImage h=abc seg=0 first=0 last=0 n=9 -> 80043003",
        "VOR_GetImageEx h=abc seg=0 first=0 last=0 n=9 width=1 height=1 bpp=8 -> 80043003",
        "VOR_GetBuffer h=abc n=0 -> 0", alloc2, alloc3, "VOR_GetBufferStatus h=abc n=0 -> 80043001", "VOR_FreeBuffer h=abc n=2 -> 0", "VOR_FreeBuffer h=abc n=1 -> 0",
        "VOR_GetBufferStatus h=abc n=1 -> 80043003", nullptr};
    CheckTrace(L, "trace", lines);
    L.reset();
}

// After FreeLibrary the events of live buffers must be closed.
static void TestUnload(Lib &L)
{
    int32_t a = -1, b = -1;
    uint32_t ea = 0, eb = 0;
    void *addr = nullptr;
    ok(New(L, reinterpret_cast<void *>(1), 64, &a, &addr, &ea) == 0 && New(L, reinterpret_cast<void *>(1), 64, &b, &addr, &eb) == 0,
       "%s: allocation before unload", L.file);
    ok(FreeLibrary(L.mod) != FALSE, "%s: FreeLibrary failed", L.file);
    ok(WaitForSingleObject(AsHandle(ea), 0) == WAIT_FAILED && WaitForSingleObject(AsHandle(eb), 0) == WAIT_FAILED,
       "%s: events survive FreeLibrary", L.file);
}

// Frame k of a width x height acquisition at `bpp` bits: the first min(size, pixels) whole pixels
// hold (x + y + k) masked, the bytes after them are still zero.
static bool IsFrame(const uint8_t *p, uint32_t size, uint32_t width, uint32_t height, uint32_t bpp, uint32_t k)
{
    const uint32_t bytes = bpp > 8 ? 2 : 1, mask = (1u << bpp) - 1;
    uint32_t pixels = width * height;
    if (pixels > size / bytes)
        pixels = size / bytes;
    for (uint32_t i = 0; i < pixels; ++i) {
        const uint32_t v = (i % width + i / width + k) & mask;
        if (p[i * bytes] != (v & 0xFF) || (bytes == 2 && p[i * 2 + 1] != (v >> 8)))
            return false;
    }
    return IsZero(p, pixels * bytes, size);
}

// Waits at most timeoutMs for `count` frames of h; returns the count reached.
static uint32_t WaitFrames(Lib &L, void *h, uint32_t count, DWORD timeoutMs)
{
    const DWORD begin = GetTickCount();
    uint32_t got = L.frames(h);
    while (got < count && GetTickCount() - begin < timeoutMs) {
        Sleep(5);
        got = L.frames(h);
    }
    return got;
}

static double Seconds(const LARGE_INTEGER &from, const LARGE_INTEGER &to)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(f.QuadPart);
}

// Stops h after at least `count` frames (waiting at most 3 s) and checks that buffer j of the
// `sizes` holds the last frame that round-robin gave it, filled, marked and signalled.
static uint32_t CheckRoundRobin(Lib &L, void *h, const uint32_t *sizes, uint32_t buffers, uint32_t width,
                                uint32_t height, uint32_t bpp, uint32_t count)
{
    const char *f = L.file;
    ok(WaitFrames(L, h, count, 3000) >= count, "%s: %u frames at %u bits within 3 s", f, L.frames(h), bpp);
    ok(L.stop(h) == 0, "%s: stop failed", f);
    const uint32_t n = L.frames(h);
    const uint32_t filled = L.family == 3 ? 0x8000u : 2u;
    for (uint32_t j = 0; j < buffers && j < n; ++j) {
        const uint32_t k = j + (n - 1 - j) / buffers * buffers;  // the last frame numbered j modulo buffers
        const uint8_t *mem = static_cast<const uint8_t *>(L.address(h, static_cast<int32_t>(j)));
        ok(mem != nullptr && IsFrame(mem, sizes[j], width, height, bpp, k), "%s: buffer %u of %u does not hold "
           "frame %u (%ux%u, %u bits; %u delivered)", f, j, buffers, k, width, height, bpp, n);
        uint32_t st = 0, drv = 1;
        ok(Status(L, h, static_cast<int32_t>(j), &st, &drv) == 0 && st == filled && drv == 0,
           "%s: buffer %u status %x/%x after a frame", f, j, st, drv);
        ok(WaitForSingleObject(AsHandle(L.event(h, static_cast<int32_t>(j))), 0) == WAIT_OBJECT_0,
           "%s: buffer %u not signalled after a frame", f, j);
    }
    return n;
}

static void TestAcquisition(Lib &L)
{
    void *const h = reinterpret_cast<void *>(0x3003), *const h2 = reinterpret_cast<void *>(0x4004);
    const char *f = L.file;
    const int32_t bad = static_cast<int32_t>(SIM_ERR_BAD_ARG);
    L.reset();
    ok(L.start(h, 0, 8, 8, 8) == bad && L.start(h, 100001, 8, 8, 8) == bad && L.start(h, 10, 0, 8, 8) == bad &&
       L.start(h, 10, 8, 0, 8) == bad && L.start(h, 10, 8, 8, 0) == bad && L.start(h, 10, 8, 8, 17) == bad,
       "%s: bad acquisition settings accepted", f);
    ok(L.frames(h) == 0 && L.stop(h) == 0, "%s: a camera never started", f);

    // 8 bits, 300 pixels a row so values wrap; buffer 0 has room to spare, 1 takes part of a frame.
    const uint32_t sizes8[3] = {1500, 701, 1200};
    int32_t n = -1;
    for (uint32_t j = 0; j < 3; ++j)
        ok(New(L, h, sizes8[j], &n) == 0 && n == static_cast<int32_t>(j), "%s: buffer %u", f, j);
    ok(L.start(h, 200, 300, 4, 8) == 0, "%s: start at 8 bits failed", f);
    const uint32_t delivered = CheckRoundRobin(L, h, sizes8, 3, 300, 4, 8, 7);
    L.traceClear();
    for (int32_t j = 0; j < 3; ++j)
        L.signal(h, j, 0);
    Sleep(60);
    bool quiet = L.frames(h) == delivered && L.traceCount() == 0;
    for (int32_t j = 0; j < 3; ++j)
        quiet = quiet && WaitForSingleObject(AsHandle(L.event(h, j)), 0) == WAIT_TIMEOUT;
    ok(quiet, "%s: frames after stop (%u, then %u) or frames traced", f, delivered, L.frames(h));

    // 12 bits, rows longer than 4096 so values wrap; an odd size ends on a whole pixel.
    L.reset();
    const uint32_t sizes12[2] = {16400, 9001};
    for (uint32_t j = 0; j < 2; ++j)
        ok(New(L, h, sizes12[j], &n) == 0, "%s: 12-bit buffer %u", f, j);
    ok(L.start(h, 100, 4100, 2, 12) == 0, "%s: start at 12 bits failed", f);
    CheckRoundRobin(L, h, sizes12, 2, 4100, 2, 12, 4);

    // Rate: lower bound only; never ahead of the schedule (frame 0 at the start, one per period).
    L.reset();
    ok(New(L, h, 64, &n) == 0, "%s: rate buffer", f);
    const uint32_t rates[2] = {500, 2000};
    for (uint32_t fps : rates) {
        LARGE_INTEGER t0, t1;
        QueryPerformanceCounter(&t0);
        ok(L.start(h, fps, 8, 8, 8) == 0, "%s: start at %u fps", f, fps);
        Sleep(300);
        const uint32_t got = L.frames(h);
        QueryPerformanceCounter(&t1);
        const double most = 2.0 + Seconds(t0, t1) * fps;
        ok(got >= fps / 15 && got <= most, "%s: %u frames in 300 ms at %u fps (at most %.0f)", f, got, fps, most);
    }
    // A restart counts from frame 0 with the new settings; one buffer always holds the last frame.
    ok(L.start(h, 100, 4, 4, 8) == 0, "%s: restart failed", f);
    n = static_cast<int32_t>(CheckRoundRobin(L, h, nullptr, 0, 4, 4, 8, 3));
    const uint8_t *one = static_cast<const uint8_t *>(L.address(h, 0));
    ok(n >= 3 && IsFrame(one, 16, 4, 4, 8, static_cast<uint32_t>(n - 1)), "%s: restart: not frame %d of 4x4", f, n - 1);

    // No buffer: frames are skipped; the first allocation brings them back, also after the
    // thread has ended for lack of buffers.
    L.reset();
    ok(L.start(h2, 1000, 4, 4, 8) == 0, "%s: start without buffers", f);
    Sleep(300);
    ok(L.frames(h2) == 0, "%s: %u frames without a buffer", f, L.frames(h2));
    ok(New(L, h2, 16, &n) == 0 && WaitFrames(L, h2, 3, 2000) >= 3, "%s: no frames after allocation", f);

    // Two cameras at once while another thread of ours re-allocates (moves) and frees buffers.
    ok(New(L, h, 4096, &n) == 0 && New(L, h, 4096, &n) == 0 && L.start(h, 1000, 64, 32, 16) == 0 &&
       L.start(h2, 300, 4, 4, 8) == 0, "%s: two cameras", f);
    for (uint32_t i = 1; i <= 200; ++i) {
        int32_t zero = 0, again = -1;
        void *a = nullptr;
        uint32_t e = 0;
        ok(Alloc(L, h, &zero, 4096 + 64 * i, &a, &e) == 0 && FreeBuf(L, h, 1) == 0 && New(L, h, 4096, &again) == 0 &&
           again == 1, "%s: re-allocation %u while acquiring", f, i);
        if (i % 20 == 0)
            Sleep(1);
    }
    ok(WaitFrames(L, h, 5, 2000) >= 5 && WaitFrames(L, h2, 3, 2000) >= 3, "%s: two cameras: %u and %u frames", f,
       L.frames(h), L.frames(h2));
    ok(L.stop(h) == 0 && L.stop(h2) == 0, "%s: stop two", f);
    const uint8_t *mem = static_cast<const uint8_t *>(L.address(h, 0));
    const uint32_t k = mem[0] | (mem[1] << 8);  // pixel (0, 0) of frame k is k at 16 bits
    ok(k < L.frames(h) && IsFrame(mem, L.size(h, 0), 64, 32, 16, k), "%s: moved buffer holds no frame (%u)", f, k);

    // Reset stops every acquisition.
    ok(L.start(h2, 1000, 4, 4, 8) == 0 && WaitFrames(L, h2, 1, 2000) >= 1, "%s: start before reset", f);
    L.reset();
    uint32_t ev = 0;
    void *addr = nullptr;
    ok(L.frames(h2) == 0 && New(L, h2, 16, &n, &addr, &ev) == 0, "%s: reset kept the count", f);
    Sleep(50);
    ok(L.frames(h2) == 0 && WaitForSingleObject(AsHandle(ev), 0) == WAIT_TIMEOUT &&
       IsZero(static_cast<const uint8_t *>(addr), 0, 16), "%s: acquisition survived reset", f);
    L.reset();
}

// The acquisition thread keeps the library loaded while it runs, and ends by itself once the
// acquiring camera's buffers are gone, letting the library unload.
static void TestAcquisitionUnload(Lib &L)
{
    char path[MAX_PATH * 2];
    FullPath(L, path, sizeof path);
    if (!Load(L))
        return;
    void *const h = reinterpret_cast<void *>(0x5005);
    int32_t a = -1, b = -1;
    ok(New(L, h, 256, &a) == 0 && New(L, h, 256, &b) == 0 && L.start(h, 1000, 16, 16, 8) == 0 &&
       WaitFrames(L, h, 3, 2000) >= 3, "%s: acquisition before unload", L.file);
    ok(FreeBuf(L, h, a) == 0 && FreeBuf(L, h, b) == 0, "%s: free before unload", L.file);
    ok(FreeLibrary(L.mod) != FALSE, "%s: FreeLibrary while acquiring failed", L.file);
    L.mod = nullptr;
    const DWORD begin = GetTickCount();
    while (GetModuleHandleA(path) != nullptr && GetTickCount() - begin < 2000)
        Sleep(10);
    ok(GetModuleHandleA(path) == nullptr, "%s: still loaded 2 s after its buffers went", L.file);
}

// ---- Delays, call counters, signal on free, scale, acquisition modes, frames written unlocked ----

static double Since(const LARGE_INTEGER &from)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return Seconds(from, now);
}

// Allocates buffer n of h again (same or another size), as a caller re-queues it.
static uint32_t Again(Lib &L, void *h, int32_t n, uint32_t size, void **addr = nullptr)
{
    void *a = nullptr;
    uint32_t e = 0;
    return Alloc(L, h, &n, size, addr ? addr : &a, &e);
}

// Waits at most timeoutMs until `read(entry)` reaches count.
static bool WaitCount(SimCallsEnteredFn read, const char *entry, int32_t count, DWORD timeoutMs)
{
    const DWORD begin = GetTickCount();
    while (read(entry) < count) {
        if (GetTickCount() - begin > timeoutMs)
            return false;
        Sleep(1);
    }
    return true;
}

// A free call on a thread of its own, timed.
struct FreeCall {
    Lib *lib;
    void *cam;
    int32_t n;
    uint32_t rc;
    double seconds;
    HANDLE thread;
};

static DWORD WINAPI FreeCallThread(void *arg)
{
    FreeCall *c = static_cast<FreeCall *>(arg);
    LARGE_INTEGER t0;
    QueryPerformanceCounter(&t0);
    c->rc = FreeBuf(*c->lib, c->cam, c->n);
    c->seconds = Since(t0);
    return 0;
}

static void StartFree(FreeCall &c, Lib &L, void *h, int32_t n)
{
    c = FreeCall{&L, h, n, 0xFFFFFFFFu, 0, nullptr};
    c.thread = CreateThread(nullptr, 0, FreeCallThread, &c, 0, nullptr);
    ok(c.thread != nullptr, "%s: CreateThread failed", L.file);
}

static void JoinFree(FreeCall &c)
{
    if (c.thread == nullptr)
        return;
    WaitForSingleObject(c.thread, INFINITE);
    CloseHandle(c.thread);
    c.thread = nullptr;
}

// Delays sleep before the lock; entered and returned count every call.
static void TestDelays(Lib &L)
{
    void *const h = reinterpret_cast<void *>(0x7007);
    const char *f = L.file;
    L.reset();
    ok(L.entered(L.freeName) == 0 && L.returned(L.freeName) == 0, "%s: counters not 0 after reset", f);
    ok(L.entered("NO_SUCH_ENTRY") == -1 && L.returned(nullptr) == -1, "%s: unknown entry counted", f);
    L.setDelay("NO_SUCH_ENTRY", 100);  // ignored
    int32_t b = -1, c = -1;
    ok(New(L, h, 64, &b) == 0 && L.entered(L.allocName) == 1 && L.returned(L.allocName) == 1,
       "%s: allocation counted %d/%d", f, L.entered(L.allocName), L.returned(L.allocName));
    L.fail(L.freeName, 0xE7, 1, 0);
    ok(FreeBuf(L, h, 5) == 0xE7 && L.entered(L.freeName) == 1 && L.returned(L.freeName) == 1,
       "%s: a failing call is counted too", f);

    // A delayed free: while it sleeps, the library answers calls of other entry points (the
    // buffer is still there), control calls, and calls of the same entry point on other threads.
    const DWORD delayMs = 800;
    L.setDelay(L.freeName, delayMs);
    FreeCall slow;
    StartFree(slow, L, h, b);
    ok(WaitCount(L.entered, L.freeName, 2, 2000), "%s: delayed free never entered", f);
    uint32_t st = 0, drv = 0;
    ok(Status(L, h, b, &st, &drv) == 0 && L.count() == 1 && L.size(h, b) == 64,
       "%s: the buffer went before the delay was over, or the lock was held", f);
    ok(New(L, h, 64, &c) == 0 && c == b + 1, "%s: allocation during a delayed free", f);
    L.setDelay(L.freeName, 0);  // read on entry: the sleeping call keeps its delay
    ok(FreeBuf(L, h, c) == 0 && L.returned(L.freeName) == 2 && L.entered(L.freeName) == 3,
       "%s: a free on another thread waited for the delayed one (%d/%d)", f, L.entered(L.freeName),
       L.returned(L.freeName));
    ok(WaitForSingleObject(slow.thread, 0) == WAIT_TIMEOUT && L.size(h, b) == 64,
       "%s: the delayed free ended before the calls made while it slept", f);
    JoinFree(slow);
    ok(slow.rc == 0 && slow.seconds >= delayMs / 1000.0 * 0.98 && L.count() == 0,
       "%s: delayed free rc %x after %.3f s (delay %lu ms)", f, slow.rc, slow.seconds, delayMs);
    ok(L.entered(L.freeName) == 3 && L.returned(L.freeName) == 3, "%s: counters after the delayed free", f);

    // Any entry point can be made slow.
    const char *status = L.family == 3 ? "VOR_GetBufferStatus" : "GETBUFFER_STATUS";
    const int32_t statusCalls = L.entered(status);
    L.setDelay(status, 300);
    ok(New(L, h, 64, &b) == 0, "%s: allocation", f);
    LARGE_INTEGER t0;
    QueryPerformanceCounter(&t0);
    ok(Status(L, h, b, &st, &drv) == 0 && Since(t0) >= 0.29 && L.entered(status) == statusCalls + 1 &&
       L.returned(status) == statusCalls + 1, "%s: %s not delayed", f, status);

    // Reset clears delays and counters: a free with a long delay set before it comes back soon.
    L.setDelay(L.freeName, 4000);
    L.reset();
    ok(L.entered(status) == 0 && L.returned(status) == 0 && L.entered(L.allocName) == 0, "%s: reset kept counters", f);
    ok(New(L, h, 64, &b) == 0, "%s: allocation after reset", f);
    FreeCall quick;
    StartFree(quick, L, h, b);
    ok(quick.thread != nullptr && WaitForSingleObject(quick.thread, 2000) == WAIT_OBJECT_0,
       "%s: reset kept the delay", f);
    JoinFree(quick);
    L.reset();
}

// SimSetSignalOnFree: a free sets the buffer's event on entry, before its delay and its fault.
static void TestSignalOnFree(Lib &L)
{
    void *const h = reinterpret_cast<void *>(0x8008);
    const char *f = L.file;
    L.reset();
    int32_t b = -1;
    void *addr = nullptr;
    uint32_t ev = 0;
    ok(New(L, h, 64, &b, &addr, &ev) == 0, "%s: allocation", f);
    L.signalOnFree(1);
    L.setDelay(L.freeName, 500);
    FreeCall call;
    StartFree(call, L, h, b);
    ok(WaitCount(L.entered, L.freeName, 1, 2000), "%s: free never entered", f);
    ok(WaitForSingleObject(AsHandle(ev), 0) == WAIT_OBJECT_0 && L.returned(L.freeName) == 0 && L.size(h, b) == 64,
       "%s: event not set on entry of a free", f);
    JoinFree(call);
    ok(call.rc == 0 && L.count() == 0, "%s: signalled free rc %x", f, call.rc);
    L.setDelay(L.freeName, 0);
    ok(FreeBuf(L, h, 3) == SIM_ERR_NO_BUFFER, "%s: free of a missing buffer with signal on free", f);
    ok(New(L, h, 64, &b, &addr, &ev) == 0, "%s: allocation", f);
    L.fail(L.freeName, 0xE8, 1, 0);
    ok(FreeBuf(L, h, b) == 0xE8 && WaitForSingleObject(AsHandle(ev), 0) == WAIT_OBJECT_0 && L.count() == 1,
       "%s: a failing free did not signal first", f);

    // Reset turns it off.
    L.reset();
    ok(New(L, h, 64, &b, &addr, &ev) == 0, "%s: allocation after reset", f);
    L.setDelay(L.freeName, 300);
    StartFree(call, L, h, b);
    ok(WaitCount(L.entered, L.freeName, 1, 2000), "%s: free never entered", f);
    ok(WaitForSingleObject(AsHandle(ev), 0) == WAIT_TIMEOUT, "%s: reset kept signal on free", f);
    JoinFree(call);
    L.reset();
}

// SimSetTracing(0): calls are no longer traced; the calls themselves still work.
static void TestTracingOff(Lib &L)
{
    void *const h = reinterpret_cast<void *>(0x8009);
    const char *f = L.file;
    L.reset();
    int32_t b = -1;
    void *addr = nullptr;
    uint32_t ev = 0;
    ok(New(L, h, 64, &b, &addr, &ev) == 0 && L.traceCount() > 0, "%s: allocation not traced", f);
    L.tracing(0);
    ok(L.traceCount() == 0, "%s: the trace was not emptied", f);
    ok(FreeBuf(L, h, b) == 0 && L.count() == 0, "%s: free with tracing off", f);
    ok(New(L, h, 64, &b, &addr, &ev) == 0 && L.traceCount() == 0, "%s: traced with tracing off", f);
    L.reset();
    ok(New(L, h, 64, &b, &addr, &ev) == 0 && L.traceCount() > 0, "%s: reset left tracing off", f);
    L.reset();
}

// 2000 buffers on one camera: numbering stays lowest-free-first and the table stays fast.
static void TestScale(Lib &L)
{
    void *const h = reinterpret_cast<void *>(0x9009), *const h2 = reinterpret_cast<void *>(0x900A);
    const char *f = L.file;
    const int32_t kCount = 2000;
    L.reset();
    bool numbered = true;
    LARGE_INTEGER t0;
    QueryPerformanceCounter(&t0);
    for (int32_t i = 0; i < kCount; ++i) {
        int32_t n = -1;
        numbered = numbered && New(L, h, 64, &n) == 0 && n == i;
    }
    const double made = Since(t0);
    ok(numbered && L.count() == kCount, "%s: %d buffers not numbered 0..%d", f, L.count(), kCount - 1);
    int32_t other = -1;
    ok(New(L, h2, 64, &other) == 0 && other == 0, "%s: second camera numbered %d", f, other);
    uint32_t st = 0, drv = 0;
    ok(Status(L, h, kCount - 1, &st, &drv) == 0 && L.size(h, kCount - 1) == 64 && L.size(h, kCount) == 0,
       "%s: last of the buffers", f);
    // Holes are filled lowest first, then the numbers go on above the highest.
    const int32_t holes[3] = {1500, 7, 300};
    for (int32_t n : holes)
        ok(FreeBuf(L, h, n) == 0, "%s: free %d", f, n);
    const int32_t expect[4] = {7, 300, 1500, kCount};
    for (int32_t want : expect) {
        int32_t n = -1;
        ok(New(L, h, 64, &n) == 0 && n == want, "%s: refilled hole numbered %d, expected %d", f, n, want);
    }
    QueryPerformanceCounter(&t0);
    bool freed = true;
    for (int32_t i = 0; i <= kCount; ++i)
        freed = freed && FreeBuf(L, h, i) == 0;
    const double gone = Since(t0);
    ok(freed && L.count() == 1, "%s: %d buffers left after freeing", f, L.count());
    int32_t n = -1;
    ok(New(L, h, 64, &n) == 0 && n == 0, "%s: numbering after all were freed starts at %d", f, n);
    // Generous: the table walk of old took seconds here.
    ok(made + gone < 1.0, "%s: %d allocations took %.3f s and their frees %.3f s", f, kCount, made, gone);
    printf("%s: %d allocations %.1f ms, %d frees %.1f ms (events included)\n", f, kCount, made * 1000, kCount + 1,
           gone * 1000);
    L.reset();
}

// SIM_ACQ_QUEUE: frames go to the buffers in the order they were (re)queued.
static void TestQueueMode(Lib &L)
{
    void *const h = reinterpret_cast<void *>(0xA00A);
    const char *f = L.file;
    const uint32_t filled = L.family == 3 ? 0x8000u : 2u;
    L.reset();
    int32_t n = -1;
    uint32_t ev[4] = {};
    void *addr[4] = {};
    for (int32_t j = 0; j < 3; ++j)
        ok(New(L, h, 64, &n, &addr[j], &ev[j]) == 0 && n == j, "%s: queue buffer %d", f, j);
    ok(L.setMode(h, SIM_ACQ_QUEUE) == 0 && L.start(h, 200, 8, 8, 8) == 0, "%s: start in queue mode", f);
    ok(WaitFrames(L, h, 3, 2000) >= 3, "%s: %u frames in queue mode", f, L.frames(h));
    Sleep(60);  // 12 frame times with nothing queued: skipped, not counted
    ok(L.frames(h) == 3, "%s: %u frames from 3 buffers never queued again", f, L.frames(h));
    for (uint32_t j = 0; j < 3; ++j) {
        uint32_t st = 0, drv = 1;
        ok(IsFrame(static_cast<const uint8_t *>(addr[j]), 64, 8, 8, 8, j) && Status(L, h, j, &st, &drv) == 0 &&
           st == filled && WaitForSingleObject(AsHandle(ev[j]), 0) == WAIT_OBJECT_0,
           "%s: buffer %u does not hold frame %u", f, j, j);
    }
    // Queued again as a caller does (allocate again, then reset the event): 2 first, then 0.
    ok(Again(L, h, 2, 64) == 0 && L.signal(h, 2, 0) == 0 && Again(L, h, 0, 64) == 0 && L.signal(h, 0, 0) == 0,
       "%s: queueing again", f);
    ok(WaitFrames(L, h, 5, 2000) >= 5, "%s: %u frames after queueing two again", f, L.frames(h));
    Sleep(30);
    ok(L.frames(h) == 5 && IsFrame(static_cast<const uint8_t *>(addr[2]), 64, 8, 8, 8, 3) &&
       IsFrame(static_cast<const uint8_t *>(addr[0]), 64, 8, 8, 8, 4) &&
       IsFrame(static_cast<const uint8_t *>(addr[1]), 64, 8, 8, 8, 1),
       "%s: queue order not kept (%u frames)", f, L.frames(h));
    // A new buffer is queued at once; a freed one leaves the queue.
    ok(Again(L, h, 1, 64) == 0 && L.signal(h, 1, 0) == 0 && FreeBuf(L, h, 1) == 0, "%s: queue then free", f);
    ok(New(L, h, 64, &n, &addr[3], &ev[3]) == 0 && n == 1, "%s: new buffer in queue mode", f);
    ok(WaitForSingleObject(AsHandle(ev[3]), 2000) == WAIT_OBJECT_0 && WaitFrames(L, h, 6, 2000) == 6,
       "%s: new buffer not filled", f);
    Sleep(30);
    ok(L.frames(h) == 6 && IsFrame(static_cast<const uint8_t *>(addr[3]), 64, 8, 8, 8, 5), "%s: %u frames, new "
       "buffer does not hold frame 5", f, L.frames(h));

    // A buffer queued again gets no frame before one period has passed.
    const uint32_t fps = 8;
    ok(L.start(h, fps, 8, 8, 8) == 0, "%s: restart at %u fps", f, fps);
    for (int trial = 0; trial < 2; ++trial) {
        LARGE_INTEGER t0;
        QueryPerformanceCounter(&t0);
        ok(Again(L, h, 0, 64) == 0 && L.signal(h, 0, 0) == 0, "%s: queue again", f);
        ok(WaitForSingleObject(AsHandle(ev[0]), 2000) == WAIT_OBJECT_0, "%s: no frame after queueing again", f);
        const double waited = Since(t0);
        ok(waited >= 1.0 / fps, "%s: frame %.3f s after queueing again, period %.3f s", f, waited, 1.0 / fps);
    }

    // The mode is kept across starts and cleared by reset: round-robin again.
    L.reset();
    for (int32_t j = 0; j < 2; ++j)
        ok(New(L, h, 64, &n) == 0, "%s: buffer", f);
    ok(L.start(h, 500, 8, 8, 8) == 0 && WaitFrames(L, h, 6, 2000) >= 6, "%s: reset kept queue mode (%u frames)", f,
       L.frames(h));
    L.reset();
}

// SIM_ACQ_NO_PIXELS: frames delivered without a byte written, alone and with the queue.
static void TestNoPixels(Lib &L)
{
    void *const h = reinterpret_cast<void *>(0xB00B);
    const char *f = L.file;
    const uint32_t filled = L.family == 3 ? 0x8000u : 2u;
    const uint32_t modes[2] = {SIM_ACQ_NO_PIXELS, SIM_ACQ_NO_PIXELS | SIM_ACQ_QUEUE};
    for (uint32_t mode : modes) {
        L.reset();
        int32_t n = -1;
        void *addr[2] = {};
        uint32_t ev[2] = {};
        for (int j = 0; j < 2; ++j)
            ok(New(L, h, 256, &n, &addr[j], &ev[j]) == 0, "%s: buffer", f);
        ok(L.setMode(h, mode) == 0 && L.start(h, 500, 16, 16, 8) == 0, "%s: start in mode %u", f, mode);
        const uint32_t want = mode == SIM_ACQ_NO_PIXELS ? 6 : 2;
        ok(WaitFrames(L, h, want, 2000) >= want, "%s: mode %u: %u frames", f, mode, L.frames(h));
        if (mode & SIM_ACQ_QUEUE) {
            ok(Again(L, h, 1, 256) == 0 && L.signal(h, 1, 0) == 0 && WaitFrames(L, h, 3, 2000) == 3,
               "%s: queued again without pixels", f);
            ok(WaitForSingleObject(AsHandle(ev[1]), 2000) == WAIT_OBJECT_0, "%s: not signalled", f);
        }
        ok(L.stop(h) == 0, "%s: stop", f);
        for (int j = 0; j < 2; ++j) {
            uint32_t st = 0, drv = 1;
            ok(IsZero(static_cast<const uint8_t *>(addr[j]), 0, 256) && Status(L, h, j, &st, &drv) == 0 &&
               st == filled && WaitForSingleObject(AsHandle(ev[j]), 0) == WAIT_OBJECT_0,
               "%s: mode %u: buffer %d written, not marked or not signalled", f, mode, j);
        }
    }
    L.reset();
}

static bool ProcessCpu(double *seconds)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return false;
    const uint64_t k = (static_cast<uint64_t>(kernel.dwHighDateTime) << 32) | kernel.dwLowDateTime;
    const uint64_t u = (static_cast<uint64_t>(user.dwHighDateTime) << 32) | user.dwLowDateTime;
    *seconds = static_cast<double>(k + u) / 1e7;
    return true;
}

// SIM_ACQ_REQUEUE_AT_ONCE: no paced frames; a buffer queued again with its event set gets a
// frame once its caller has reset the event.
static void TestAtOnce(Lib &L)
{
    void *const h = reinterpret_cast<void *>(0xC00C), *const paced = reinterpret_cast<void *>(0xC00D);
    const char *f = L.file;
    const uint32_t filled = L.family == 3 ? 0x8000u : 2u;
    L.reset();
    int32_t n = -1;
    void *addr[2] = {};
    uint32_t ev[2] = {};
    for (int j = 0; j < 2; ++j)
        ok(New(L, h, 64, &n, &addr[j], &ev[j]) == 0, "%s: buffer", f);
    ok(L.setMode(h, SIM_ACQ_REQUEUE_AT_ONCE) == 0 && L.start(h, 1, 8, 8, 8) == 0, "%s: start at once mode", f);
    Sleep(100);
    ok(L.frames(h) == 0 && WaitForSingleObject(AsHandle(ev[0]), 0) == WAIT_TIMEOUT, "%s: a paced frame came", f);
    ok(Again(L, h, 1, 64) == 0, "%s: queue again with the event reset", f);
    Sleep(100);
    ok(L.frames(h) == 0 && WaitForSingleObject(AsHandle(ev[1]), 0) == WAIT_TIMEOUT,
       "%s: a buffer queued with its event reset got a frame", f);

    ok(L.signal(h, 0, 1) == 0 && Again(L, h, 0, 64) == 0, "%s: queue again with the event set", f);
    Sleep(100);
    ok(L.frames(h) == 0, "%s: delivered before the event was reset", f);
    ResetEvent(AsHandle(ev[0]));
    ok(WaitForSingleObject(AsHandle(ev[0]), 2000) == WAIT_OBJECT_0 && L.frames(h) == 1, "%s: no frame after the reset "
       "(%u)", f, L.frames(h));
    uint32_t st = 0, drv = 1;
    ok(Status(L, h, 0, &st, &drv) == 0 && st == filled && IsZero(static_cast<const uint8_t *>(addr[0]), 0, 64),
       "%s: at-once frame not marked, or pixels written", f);

    // The loop it is made for, with a paced camera next to it; 1 fps would take minutes.
    int32_t m = -1;
    ok(New(L, paced, 64, &m) == 0 && L.start(paced, 200, 8, 8, 8) == 0, "%s: paced camera", f);
    const uint32_t loops = 300;
    LARGE_INTEGER t0;
    QueryPerformanceCounter(&t0);
    bool flowing = true;
    for (uint32_t i = 0; i < loops && flowing; ++i) {
        flowing = WaitForSingleObject(AsHandle(ev[0]), 2000) == WAIT_OBJECT_0 && Again(L, h, 0, 64) == 0;
        ResetEvent(AsHandle(ev[0]));
    }
    flowing = flowing && WaitForSingleObject(AsHandle(ev[0]), 2000) == WAIT_OBJECT_0;
    const double took = Since(t0);
    ok(flowing && L.frames(h) == loops + 1 && took < 20.0, "%s: at-once loop: %u frames in %.2f s", f, L.frames(h),
       took);
    printf("%s: at-once loop %.0f rounds/s\n", f, loops / took);
    ok(L.frames(paced) >= 3, "%s: paced camera starved (%u)", f, L.frames(paced));
    ok(L.stop(paced) == 0, "%s: stop paced", f);

    // Nothing outstanding: the thread blocks, it does not spin.
    double cpu0 = 0, cpu1 = 0;
    if (ProcessCpu(&cpu0)) {
        QueryPerformanceCounter(&t0);
        Sleep(500);
        ProcessCpu(&cpu1);
        const double wall = Since(t0);
        ok(cpu1 - cpu0 < wall * 0.5, "%s: %.3f s of CPU in %.3f s with nothing to deliver", f, cpu1 - cpu0, wall);
    }

    // A stop drops a delivery that waits.
    ok(Again(L, h, 0, 64) == 0 && L.stop(h) == 0, "%s: stop with a delivery waiting", f);
    ResetEvent(AsHandle(ev[0]));
    Sleep(100);
    ok(WaitForSingleObject(AsHandle(ev[0]), 0) == WAIT_TIMEOUT && L.frames(h) == loops + 1, "%s: delivered after stop",
       f);
    L.reset();
}

// Watches 12-bit frames of width x height being written into mem: between two frames, marks both
// ends with a value no such frame has, and returns true once the first pixel has been written and
// the last not yet.  False after timeoutMs.
static bool CatchWrite(volatile uint16_t *mem, uint32_t width, uint32_t height, DWORD timeoutMs)
{
    const uint32_t last = width * height - 1, whole = (width - 1 + height - 1) & 0xFFF;
    const DWORD begin = GetTickCount();
    while (GetTickCount() - begin < timeoutMs) {
        // A whole frame has its last pixel (w - 1 + h - 1) above its first; else one is being written.
        if (((mem[last] - mem[0]) & 0xFFF) != whole || mem[0] == 0xFFFF || mem[last] == 0xFFFF) {
            if (mem[0] == 0xFFFF || mem[last] == 0xFFFF)  // markers of a round that lost the race
                mem[last] = mem[0] = 0;
            continue;
        }
        mem[last] = 0xFFFF;
        mem[0] = 0xFFFF;
        const DWORD round = GetTickCount();
        while (mem[0] == 0xFFFF && GetTickCount() - round < 200)
            ;
        if (mem[0] != 0xFFFF && mem[last] == 0xFFFF)
            return true;
    }
    return false;
}

// Frames are written without the lock; freeing, growing, stopping and resetting wait for them.
static void TestUnlockedWrite(Lib &L)
{
    void *const h = reinterpret_cast<void *>(0xD00D);
    const char *f = L.file;
    const uint16_t w = 4096, ht = 2048;
    const uint32_t pixels = static_cast<uint32_t>(w) * ht, bytes = pixels * 2;
    L.reset();
    int32_t n = -1;
    void *addr = nullptr;
    uint32_t ev = 0;
    ok(New(L, h, bytes, &n, &addr, &ev) == 0 && L.start(h, 40, w, ht, 12) == 0, "%s: large frames", f);
    volatile uint16_t *mem = static_cast<volatile uint16_t *>(addr);

    // An SDK call returns while a frame is half written.
    bool answered = false;
    for (int i = 0; i < 40 && !answered; ++i) {
        if (!CatchWrite(mem, w, ht, 1000))
            continue;
        uint32_t st = 0, drv = 0;
        answered = Status(L, h, n, &st, &drv) == 0 && mem[pixels - 1] == 0xFFFF;
    }
    ok(answered, "%s: no SDK call returned while a frame was being written", f);

    // Freeing waits for the end of the write.
    bool caught = CatchWrite(mem, w, ht, 3000);
    uint32_t before = L.frames(h);
    caught = caught && mem[pixels - 1] == 0xFFFF;
    const uint32_t freed = caught ? FreeBuf(L, h, n) : 1;
    ok(caught && freed == 0 && L.frames(h) > before, "%s: free did not wait for the frame being written "
       "(caught %d, rc %x, %u, then %u)", f, caught, freed, before, L.frames(h));
    if (!caught)
        FreeBuf(L, h, n);

    // So does a growing re-allocation, and the frame is whole in the new memory.
    ok(New(L, h, bytes, &n, &addr, &ev) == 0, "%s: large buffer again", f);
    mem = static_cast<volatile uint16_t *>(addr);
    caught = CatchWrite(mem, w, ht, 3000);
    before = L.frames(h);
    caught = caught && mem[pixels - 1] == 0xFFFF;
    void *moved = nullptr;
    ok(caught && Again(L, h, n, bytes + 4096, &moved) == 0 && L.frames(h) > before &&
       static_cast<const uint16_t *>(moved)[pixels - 1] != 0xFFFF,
       "%s: growing did not wait for the frame being written", f);
    if (!caught)
        Again(L, h, n, bytes + 4096, &moved);
    mem = static_cast<volatile uint16_t *>(moved != nullptr ? moved : L.address(h, n));
    if (mem == nullptr) {
        L.reset();
        return;
    }

    // A stop returns once the frame being written is done; none follows.
    caught = CatchWrite(mem, w, ht, 3000);
    before = L.frames(h);
    caught = caught && mem[pixels - 1] == 0xFFFF;
    ok(caught && L.stop(h) == 0 && L.frames(h) == before + 1 && mem[pixels - 1] != 0xFFFF,
       "%s: stop did not wait for the frame being written (%u, then %u)", f, before, L.frames(h));
    L.stop(h);
    const uint32_t stopped = L.frames(h);
    L.signal(h, n, 0);
    mem[0] = 0xFFFF;
    Sleep(80);
    ok(L.frames(h) == stopped && mem[0] == 0xFFFF && WaitForSingleObject(AsHandle(ev), 0) == WAIT_TIMEOUT,
       "%s: frames after stop", f);

    // A reset waits too (the buffer goes only after the write).
    ok(L.start(h, 40, w, ht, 12) == 0 && CatchWrite(mem, w, ht, 3000), "%s: restart", f);
    L.reset();
    ok(L.count() == 0 && L.frames(h) == 0, "%s: reset during a write", f);
}

// VORLAB_SIM_ATTACH_DELAY makes the DllMain of the library it names slow, and only that one.
static void TestAttachDelay(Lib *libs, int count)
{
    for (int i = 0; i < count; ++i) {
        Lib &L = libs[i];
        char path[MAX_PATH * 2], value[64];
        FullPath(L, path, sizeof path);
        ok(GetModuleHandleA(path) == nullptr, "%s: still loaded", L.file);
        // The name without extension, in lower case: the match ignores case.
        size_t k = 0;
        for (; L.file[k] != '.' && k < 32; ++k)
            value[k] = static_cast<char>(L.file[k] >= 'A' && L.file[k] <= 'Z' ? L.file[k] - 'A' + 'a' : L.file[k]);
        snprintf(value + k, sizeof value - k, ":400");
        SetEnvironmentVariableA("VORLAB_SIM_ATTACH_DELAY", value);
        LARGE_INTEGER t0;
        QueryPerformanceCounter(&t0);
        HMODULE m = LoadLibraryA(path);
        const double took = Since(t0);
        ok(m != nullptr && took >= 0.39, "%s: load with %s took %.3f s", L.file, value, took);
        if (m != nullptr)
            FreeLibrary(m);
        // Other names and other forms leave the load fast (generously so).
        char wrong[5][64];
        snprintf(wrong[0], sizeof wrong[0], "%s", i == 0 ? "Tn_Cam:3000" : "Lan_Cam:3000");
        snprintf(wrong[1], sizeof wrong[1], "%.*s:3000x", static_cast<int>(k), L.file);
        snprintf(wrong[2], sizeof wrong[2], "%.*s:", static_cast<int>(k), L.file);
        snprintf(wrong[3], sizeof wrong[3], "%s:3000", L.file);  // with the extension
        snprintf(wrong[4], sizeof wrong[4], "%.*s 3000", static_cast<int>(k), L.file);
        for (const char *v : wrong) {
            SetEnvironmentVariableA("VORLAB_SIM_ATTACH_DELAY", v);
            QueryPerformanceCounter(&t0);
            m = LoadLibraryA(path);
            const double fast = Since(t0);
            ok(m != nullptr && fast < 2.0, "%s: load with \"%s\" took %.3f s", L.file, v, fast);
            if (m != nullptr)
                FreeLibrary(m);
        }
    }
    SetEnvironmentVariableA("VORLAB_SIM_ATTACH_DELAY", nullptr);
}

struct Variant { const char *folder, *file; const char *const *entries; const char *missing[3]; };

static void TestVariant(const Variant &v)
{
    char path[MAX_PATH * 2];
    snprintf(path, sizeof path, "%s\\%s\\%s", g_dir, v.folder, v.file);
    HMODULE m = LoadLibraryA(path);
    ok(m != nullptr, "LoadLibraryA(%s) failed, error %lu", path, GetLastError());
    if (m == nullptr)
        return;
    char loaded[MAX_PATH] = "";
    GetModuleFileNameA(m, loaded, static_cast<DWORD>(sizeof loaded));
    ok(strstr(loaded, v.folder) != nullptr, "%s: loaded %s instead", v.folder, loaded);
    const char *const *lists[] = {v.entries, kControlNames};
    for (const char *const *list : lists)
        for (const char *const *name = list; *name; ++name) {
            bool missing = false;
            for (const char *gone : v.missing)
                missing = missing || (gone != nullptr && strcmp(gone, *name) == 0);
            const bool present = GetProcAddress(m, *name) != nullptr;
            ok(present != missing, "%s: %s is %s", v.folder, *name, present ? "exported" : "missing");
        }
    FreeLibrary(m);
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        printf("usage: sim_selftest <folder holding full/ and the variant folders>\n");
        return 2;
    }
    snprintf(g_dir, sizeof g_dir, "%s", argv[1]);
    Lib libs[3] = {};
    libs[0].family = 1; libs[0].file = "Lan_Cam.dll"; libs[0].entries = kLanEntries;
    libs[0].allocName = "ALLOCATE_BUFFER_EX"; libs[0].freeName = "FREE_BUFFER";
    libs[1].family = 2; libs[1].file = "Tn_Cam.dll"; libs[1].entries = kTnEntries;
    libs[1].allocName = "ALLOCATE_BUFFER"; libs[1].freeName = "FREE_BUFFER";
    libs[2].family = 3; libs[2].file = "QD4_Cam.dll"; libs[2].entries = kQd4Entries;
    libs[2].allocName = "VOR_AllocateBuffer"; libs[2].freeName = "VOR_FreeBuffer";
    for (Lib &L : libs) {
        if (!Load(L))
            continue;
        TestCommon(L);
        if (L.family == 1) TestLan(L);
        if (L.family == 2) TestTn(L);
        if (L.family == 3) TestQd4(L);
        TestAcquisition(L);
        TestDelays(L);
        TestSignalOnFree(L);
        TestTracingOff(L);
        TestScale(L);
        TestQueueMode(L);
        TestNoPixels(L);
        TestAtOnce(L);
        TestUnlockedWrite(L);
        TestUnload(L);
        TestAcquisitionUnload(L);
    }
    const Variant variants[] = {
        {"lan_no_map_buffer", "Lan_Cam.dll", kLanEntries, {"MAP_BUFFER"}},
        {"lan_no_getbuffer_status", "Lan_Cam.dll", kLanEntries, {"GETBUFFER_STATUS"}},
        {"tn_no_setbuffer_event", "Tn_Cam.dll", kTnEntries, {"SETBUFFER_EVENT"}},
        {"tn_no_map_buffer", "Tn_Cam.dll", kTnEntries, {"MAP_BUFFER"}},
        {"qd4_no_allocate_buffer", "QD4_Cam.dll", kQd4Entries, {"VOR_AllocateBuffer"}},
        {"qd4_no_get_buffer", "QD4_Cam.dll", kQd4Entries, {"VOR_GetBuffer"}},
        {"qd4_no_allocate_and_get_buffer", "QD4_Cam.dll", kQd4Entries, {"VOR_AllocateBuffer", "VOR_GetBuffer"}},
    };
    for (const Variant &v : variants)
        TestVariant(v);
    TestAttachDelay(libs, 3);
    // The process ends while an acquisition runs: that must be clean too.
    void *const h = reinterpret_cast<void *>(0x6006);
    int32_t n = -1;
    if (Load(libs[1]))
        ok(New(libs[1], h, 64, &n) == 0 && libs[1].start(h, 1000, 8, 8, 8) == 0 && WaitFrames(libs[1], h, 2, 2000) >= 2,
           "%s: acquisition at exit", libs[1].file);
    return SelfTestResult();
}
