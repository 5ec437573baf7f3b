// Self-test of the stand-in file plug-in: vor_file_selftest <sim folder> [<folder that keeps sample12.tif>]
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "vor_file_control.h"

#include "../../selftest/selftest_check.h"

template <class T> static T Proc(HMODULE m, const char *name) { return reinterpret_cast<T>(GetProcAddress(m, name)); }

static HMODULE g_mod;
static VorFilePlugInitFn PlugInit;
static VorFilePlugUnInitFn PlugUnInit;
static VorFileCreateObjectFn CreateObject;
static VorFileDeleteObjectFn DeleteFileObject;
static VorFileSimTraceCountFn TraceCount;
static VorFileSimTraceLineFn TraceLine;
static VorFileSimTraceClearFn TraceClear;
static VorFileSimOpenInfoFn OpenInfo;
static VorFileSimPushInfoFn PushInfo;
static VorFileSimFailOpenFn FailOpen;
static VorFileSimFailPushFn FailPush;
static VorFileSimResetFn Reset;
static VorFileSimSetDelayFn SetDelay;
static VorFileSimCallsEnteredFn Entered;
static VorFileSimCallsReturnedFn Returned;

static char g_tmp[MAX_PATH];  // scratch folder, removed at the end
static char g_out[MAX_PATH];  // keeps sample12.tif
static const char kClient[] = "vor labview";
static const uint32_t kW = 7, kH = 5, kPixels = kW * kH;

static unsigned long long Hex(const void *p) { return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)); }
static uint32_t U16(const unsigned char *p) { return p[0] | p[1] << 8; }
static uint32_t U32(const unsigned char *p) { return U16(p) | static_cast<uint32_t>(U16(p + 2)) << 16; }
static void Put32(unsigned char *p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i)); }
static bool Exists(const char *path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

static void Path(char *out, const char *name) { snprintf(out, MAX_PATH, "%s\\%s", g_tmp, name); }

// A record as the module hands it over: picture address, geometry, and filler elsewhere.
static void MakeRecord(unsigned char *rec, uint32_t w, uint32_t h, uint32_t bits, const void *pic)
{
    for (int i = 0; i < VOR_FILE_INFO_SIZE; ++i)
        rec[i] = static_cast<unsigned char>(i * 13 + 1);
    const uint64_t address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pic));
    Put32(rec, static_cast<uint32_t>(address));
    Put32(rec + 4, static_cast<uint32_t>(address >> 32));
    Put32(rec + VOR_FILE_INFO_WIDTH, w);
    Put32(rec + VOR_FILE_INFO_HEIGHT, h);
    Put32(rec + VOR_FILE_INFO_BITS, bits);
}

static int32_t OpenFile(VorFileObject *o, const char *path, unsigned char *rec)
{
    return o->Open(path, rec, 2, "tif", 0x4040, 0, 10, 0);
}

static int32_t PushPage(VorFileObject *o, unsigned char *rec, const void *pic, void *scratch)
{
    const uint64_t address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pic));
    Put32(rec, static_cast<uint32_t>(address));
    Put32(rec + 4, static_cast<uint32_t>(address >> 32));
    return o->Push(rec, pic, 4, scratch, 1, 0);
}

static unsigned char *ReadWhole(const char *path, uint32_t *size)
{
    *size = 0;
    HANDLE f = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return nullptr;
    const DWORD bytes = GetFileSize(f, nullptr);
    unsigned char *data = static_cast<unsigned char *>(malloc(bytes + 1));
    DWORD got = 0;
    if (data != nullptr && !(ReadFile(f, data, bytes, &got, nullptr) && got == bytes)) {
        free(data);
        data = nullptr;
    }
    CloseHandle(f);
    if (data != nullptr)
        *size = bytes;
    return data;
}

static uint32_t FileBytes(const char *path)
{
    WIN32_FILE_ATTRIBUTE_DATA a;
    return GetFileAttributesExA(path, GetFileExInfoStandard, &a) ? a.nFileSizeLow : 0xFFFFFFFFu;
}

// Parses the TIFF at path and checks header, IFD chain, every tag and each page's pixels.
static void CheckTiff(const char *path, uint32_t bits, const void *const *pages, int pageCount)
{
    uint32_t size = 0;
    unsigned char *f = ReadWhole(path, &size);
    ok(f != nullptr, "%s: cannot be read", path);
    if (f == nullptr)
        return;
    const uint32_t bytes = kPixels * bits / 8;
    ok(size >= 8 && f[0] == 'I' && f[1] == 'I' && U16(f + 2) == 42, "%s: bad header", path);
    uint32_t ifd = U32(f + 4);
    int page = 0;
    for (; ifd != 0 && page < 16; ++page) {
        ok(ifd % 2 == 0 && ifd + 2 <= size, "%s: IFD %d at %u", path, page, ifd);
        if (ifd % 2 != 0 || ifd + 2 > size)
            break;
        const uint32_t n = U16(f + ifd);
        ok(n == 13 && ifd + 2 + n * 12 + 4 <= size, "%s: page %d has %u entries", path, page, n);
        if (n != 13 || ifd + 2 + n * 12 + 4 > size)
            break;
        const struct { uint32_t tag, type, value; } want[13] = {
            {254, 4, 0}, {256, 4, kW}, {257, 4, kH}, {258, 3, bits}, {259, 3, 1}, {262, 3, 1}, {273, 4, 0},
            {277, 3, 1}, {278, 4, kH}, {279, 4, bytes}, {282, 5, 0}, {283, 5, 0}, {296, 3, 2}};
        for (uint32_t i = 0; i < n; ++i) {
            const unsigned char *e = f + ifd + 2 + i * 12;
            const uint32_t tag = U16(e), type = U16(e + 2), count = U32(e + 4);
            const uint32_t value = type == 3 ? U16(e + 8) : U32(e + 8);
            ok(tag == want[i].tag && type == want[i].type && count == 1, "%s: page %d entry %u: tag %u type %u count %u",
               path, page, i, tag, type, count);
            if (type == 3)
                ok(U16(e + 10) == 0, "%s: page %d tag %u: short not left-justified", path, page, tag);
            if (tag == 273) {
                const bool inside = value % 2 == 0 && value + bytes <= size;
                ok(inside, "%s: page %d strip at %u", path, page, value);
                if (inside && page < pageCount)
                    ok(memcmp(f + value, pages[page], bytes) == 0, "%s: page %d pixels differ", path, page);
            } else if (type == 5) {
                const bool inside = value % 2 == 0 && value + 8 <= size;
                ok(inside && U32(f + value) == 72 && U32(f + value + 4) == 1, "%s: page %d tag %u not 72/1", path,
                   page, tag);
            } else {
                ok(value == want[i].value, "%s: page %d tag %u = %u, not %u", path, page, tag, value, want[i].value);
            }
        }
        ifd = U32(f + ifd + 2 + n * 12);
    }
    ok(page == pageCount && ifd == 0, "%s: %d pages, %d expected", path, page, pageCount);
    free(f);
}

static bool LineIs(int32_t index, const char *want)
{
    char line[1024];
    const int32_t n = TraceLine(index, line, sizeof line);
    if (n >= 0 && strcmp(line, want) == 0)
        return true;
    printf("trace line %d: \"%s\" (%d)\n  expected \"%s\"\n", index, n >= 0 ? line : "", n, want);
    return false;
}

static bool LastLineIs(const char *want) { return LineIs(TraceCount() - 1, want); }

static void Pattern8(unsigned char pages[3][kPixels])
{
    for (int p = 0; p < 3; ++p)
        for (uint32_t i = 0; i < kPixels; ++i)
            pages[p][i] = static_cast<unsigned char>(p * 31 + i * 7 + 3);
}

// The whole sequence the module makes, with the exact trace it leaves; 8 bits per pixel.
static void TestSequence8()
{
    Reset();
    ok(TraceCount() == 0, "trace not empty after reset");
    char path[MAX_PATH], want[1024];
    Path(path, "sample8.tif");
    unsigned char pages[3][kPixels];
    Pattern8(pages);
    unsigned char rec[VOR_FILE_INFO_SIZE], scratch[16] = {0};
    MakeRecord(rec, kW, kH, 8, pages[0]);

    ok(PlugInit(kClient) == 0, "PlugInit");
    VorFileObject *o = CreateObject(nullptr, kClient, kClient);
    ok(o != nullptr, "CreateObject");
    if (o == nullptr)
        return;
    ok(OpenFile(o, path, rec) == 0, "Open %s", path);
    ok(o->Reserved() == 0, "Reserved");
    for (int p = 0; p < 3; ++p)
        ok(PushPage(o, rec, pages[p], scratch) == 0, "Push %d", p);
    ok(o->Close() == 0 && o->Close() == 0, "Close twice");
    ok(DeleteFileObject(o) == 0 && DeleteFileObject(nullptr) == 0, "DeleteObject");
    ok(PlugUnInit() == 0, "PlugUnInit");
    ok(PlugInit(nullptr) == 0, "PlugInit(null)");

    ok(TraceCount() == 13, "%d trace lines", TraceCount());
    int i = 0;
    ok(LineIs(i++, "PlugInit client=\"vor labview\""), "line PlugInit");
    ok(LineIs(i++, "CreateObject reserved=0 client=\"vor labview\" client2=\"vor labview\" -> object"), "line Create");
    snprintf(want, sizeof want, "Open name=\"%s\" info=%llx two=2 tif=\"tif\" flags=4040 zero1=0 open=10 zero2=0 -> 0",
             path, Hex(rec));
    ok(LineIs(i++, want), "line Open");
    ok(LineIs(i++, "Reserved"), "line Reserved");
    for (int p = 0; p < 3; ++p) {
        snprintf(want, sizeof want, "Push info=%llx pic=%llx four=4 scratch=set one=1 zero=0 -> 0", Hex(rec),
                 Hex(pages[p]));
        ok(LineIs(i++, want), "line Push %d", p);
    }
    ok(LineIs(i++, "Close -> 0") && LineIs(i++, "Close -> 0"), "lines Close");
    ok(LineIs(i++, "DeleteObject") && LineIs(i++, "DeleteObject"), "lines DeleteObject");
    ok(LineIs(i++, "PlugUnInit") && LineIs(i++, "PlugInit client=\"(null)\""), "lines PlugUnInit, PlugInit");

    char small[5];
    ok(TraceLine(0, small, sizeof small) == static_cast<int32_t>(strlen("PlugInit client=\"vor labview\"")) && strcmp(small, "Plug") == 0, "truncated line \"%s\"", small);
    ok(TraceLine(13, small, sizeof small) == -1 && TraceLine(-1, small, sizeof small) == -1, "index out of range");
    TraceClear();
    ok(TraceCount() == 0 && TraceLine(0, small, sizeof small) == -1, "trace cleared");

    const void *list[3] = {pages[0], pages[1], pages[2]};
    CheckTiff(path, 8, list, 3);
}

// 12 bits per pixel: 16-bit samples; the geometry is the one of Open time; record snapshots.
static void TestSequence12()
{
    Reset();
    unsigned char probe[4];
    ok(OpenInfo(probe, sizeof probe) == 0 && PushInfo(probe, sizeof probe) == 0, "snapshots before any call");
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s\\sample12.tif", g_out);
    DeleteFileA(path);
    uint16_t pages[3][kPixels];
    for (int p = 0; p < 3; ++p)
        for (uint32_t i = 0; i < kPixels; ++i)
            pages[p][i] = static_cast<uint16_t>((p * 1000 + i * 37 + 5) & 0xFFF);
    unsigned char rec[VOR_FILE_INFO_SIZE], atOpen[VOR_FILE_INFO_SIZE], got[VOR_FILE_INFO_SIZE + 8];
    MakeRecord(rec, kW, kH, 12, pages[0]);
    memcpy(atOpen, rec, sizeof rec);

    VorFileObject *o = CreateObject(nullptr, kClient, kClient);
    ok(o != nullptr, "CreateObject");
    if (o == nullptr)
        return;
    ok(OpenFile(o, path, rec) == 0, "Open %s", path);
    // Later changes of the record do not change the pages' geometry.
    Put32(rec + VOR_FILE_INFO_WIDTH, 99);
    Put32(rec + VOR_FILE_INFO_HEIGHT, 1);
    Put32(rec + VOR_FILE_INFO_BITS, 8);
    rec[0x100] ^= 0xFF;
    for (int p = 0; p < 3; ++p)
        ok(PushPage(o, rec, pages[p], nullptr) == 0, "Push %d", p);
    char want[256];
    snprintf(want, sizeof want, "Push info=%llx pic=%llx four=4 scratch=null one=1 zero=0 -> 0", Hex(rec), Hex(pages[2]));
    ok(LastLineIs(want), "line Push with null scratch");
    ok(o->Close() == 0, "Close");

    memset(got, 0xEE, sizeof got);
    ok(OpenInfo(got, sizeof got) == VOR_FILE_INFO_SIZE && memcmp(got, atOpen, VOR_FILE_INFO_SIZE) == 0 &&
           got[VOR_FILE_INFO_SIZE] == 0xEE, "open snapshot");
    ok(PushInfo(got, sizeof got) == VOR_FILE_INFO_SIZE && memcmp(got, rec, VOR_FILE_INFO_SIZE) == 0, "push snapshot");
    memset(got, 0xEE, sizeof got);
    ok(OpenInfo(got, 16) == 16 && memcmp(got, atOpen, 16) == 0 && got[16] == 0xEE, "open snapshot of 16 bytes");
    ok(OpenInfo(nullptr, 16) == 0 && PushInfo(got, 0) == 0, "snapshot into nothing");
    ok(DeleteFileObject(o) == 0, "DeleteObject");
    Reset();
    ok(OpenInfo(got, sizeof got) == 0 && PushInfo(got, sizeof got) == 0 && TraceCount() == 0, "reset clears");

    const void *list[3] = {pages[0], pages[1], pages[2]};
    CheckTiff(path, 16, list, 3);
}

// Opens that cannot succeed leave nothing open and no file behind.
static void TestOpenFailures()
{
    Reset();
    char missing[MAX_PATH], path[MAX_PATH];
    Path(missing, "no_such_folder");
    snprintf(path, sizeof path, "%s\\x.tif", missing);
    unsigned char pic[kPixels] = {0}, rec[VOR_FILE_INFO_SIZE];
    MakeRecord(rec, kW, kH, 8, pic);
    VorFileObject *o = CreateObject(nullptr, kClient, kClient);
    if (o == nullptr)
        return;
    const int32_t rc = OpenFile(o, path, rec);
    ok(rc == static_cast<int32_t>(VOR_FILE_ERR_CREATE), "Open in a missing folder: %x", static_cast<unsigned>(rc));
    ok(!Exists(missing) && !Exists(path), "missing folder left something");
    ok(PushPage(o, rec, pic, nullptr) == static_cast<int32_t>(VOR_FILE_ERR_NOT_OPEN), "Push after a failed Open");
    ok(o->Close() == 0, "Close after a failed Open");

    Path(path, "empty.tif");
    Put32(rec + VOR_FILE_INFO_WIDTH, 0);
    ok(OpenFile(o, path, rec) == static_cast<int32_t>(VOR_FILE_ERR_BAD_ARG) && !Exists(path), "width 0");
    Put32(rec + VOR_FILE_INFO_WIDTH, kW);
    Put32(rec + VOR_FILE_INFO_HEIGHT, 0);
    ok(OpenFile(o, path, rec) == static_cast<int32_t>(VOR_FILE_ERR_BAD_ARG) && !Exists(path), "height 0");
    ok(OpenFile(o, nullptr, rec) == static_cast<int32_t>(VOR_FILE_ERR_BAD_ARG), "null name");
    char want[256];
    snprintf(want, sizeof want, "Open name=\"(null)\" info=%llx two=2 tif=\"tif\" flags=4040 zero1=0 open=10 zero2=0 -> 80120001",
             Hex(rec));
    ok(LastLineIs(want), "line Open with null name");
    ok(OpenFile(o, path, nullptr) == static_cast<int32_t>(VOR_FILE_ERR_BAD_ARG) && !Exists(path), "null record");
    DeleteFileObject(o);
}

// Injected failures: a failing Open makes no file, a failing Push writes nothing.
static void TestFailControls()
{
    Reset();
    char path[MAX_PATH];
    Path(path, "fail.tif");
    unsigned char pages[3][kPixels], rec[VOR_FILE_INFO_SIZE];
    Pattern8(pages);
    MakeRecord(rec, kW, kH, 8, pages[0]);
    VorFileObject *o = CreateObject(nullptr, kClient, kClient);
    if (o == nullptr)
        return;
    FailOpen(0x80120042u);
    ok(OpenFile(o, path, rec) == static_cast<int32_t>(0x80120042u) && !Exists(path), "FailOpen");
    ok(OpenFile(o, path, rec) == static_cast<int32_t>(0x80120042u) && !Exists(path), "FailOpen again");
    char want[1024];
    snprintf(want, sizeof want, "Open name=\"%s\" info=%llx two=2 tif=\"tif\" flags=4040 zero1=0 open=10 zero2=0 -> 80120042",
             path, Hex(rec));
    ok(LastLineIs(want), "line failed Open");
    FailOpen(0);
    ok(OpenFile(o, path, rec) == 0, "Open once no longer failing");
    ok(PushPage(o, rec, pages[0], nullptr) == 0, "Push 0");
    const uint32_t bytes = FileBytes(path);
    FailPush(0x80120043u);
    ok(PushPage(o, rec, pages[1], nullptr) == static_cast<int32_t>(0x80120043u), "FailPush");
    ok(FileBytes(path) == bytes, "failed Push wrote %u bytes", FileBytes(path) - bytes);
    snprintf(want, sizeof want, "Push info=%llx pic=%llx four=4 scratch=null one=1 zero=0 -> 80120043", Hex(rec),
             Hex(pages[1]));
    ok(LastLineIs(want), "line failed Push");
    FailPush(0);
    ok(o->Push(rec, nullptr, 4, nullptr, 1, 0) == static_cast<int32_t>(VOR_FILE_ERR_BAD_ARG) && FileBytes(path) == bytes,
       "Push of a null picture");
    ok(PushPage(o, rec, pages[1], nullptr) == 0 && PushPage(o, rec, pages[2], nullptr) == 0, "Push once no longer failing");
    FailPush(0x80120044u);
    Reset();
    ok(PushPage(o, rec, pages[2], nullptr) == 0, "Reset stops failing");
    ok(o->Close() == 0, "Close");
    DeleteFileObject(o);
    const void *list[4] = {pages[0], pages[1], pages[2], pages[2]};
    CheckTiff(path, 8, list, 4);
}

// Deleting an object with its file open, and opening again while open, both finish the file.
static void TestDeleteOpen()
{
    Reset();
    char first[MAX_PATH], second[MAX_PATH];
    Path(first, "reopened.tif");
    Path(second, "deleted.tif");
    unsigned char pages[3][kPixels], rec[VOR_FILE_INFO_SIZE];
    Pattern8(pages);
    MakeRecord(rec, kW, kH, 8, pages[0]);
    VorFileObject *o = CreateObject(nullptr, kClient, kClient);
    if (o == nullptr)
        return;
    ok(OpenFile(o, first, rec) == 0 && PushPage(o, rec, pages[0], nullptr) == 0, "first file");
    ok(OpenFile(o, second, rec) == 0, "Open while open");
    const void *one[1] = {pages[0]};
    CheckTiff(first, 8, one, 1);
    ok(DeleteFileA(first), "first file still held open");
    ok(PushPage(o, rec, pages[1], nullptr) == 0 && PushPage(o, rec, pages[2], nullptr) == 0, "second file");
    ok(DeleteFileObject(o) == 0, "DeleteObject of an open object");
    ok(TraceCount() == 7 && LastLineIs("DeleteObject"), "no Close traced by DeleteObject");
    const void *list[2] = {pages[1], pages[2]};
    CheckTiff(second, 8, list, 2);
    ok(DeleteFileA(second), "deleted object still holds its file");
}

// The module calls the operations through the table's slots, with the object as first argument.
static void TestTableSlots()
{
    typedef int32_t (*OpenSlot)(void *, const char *, void *, int32_t, const char *, int32_t, int64_t, int32_t, int64_t);
    typedef int32_t (*ReservedSlot)(void *);
    typedef int32_t (*PushSlot)(void *, void *, const void *, int32_t, void *, int32_t, int16_t);
    typedef int32_t (*CloseSlot)(void *);
    Reset();
    char path[MAX_PATH];
    Path(path, "slots.tif");
    unsigned char pages[3][kPixels], rec[VOR_FILE_INFO_SIZE], scratch[16];
    Pattern8(pages);
    MakeRecord(rec, kW, kH, 8, pages[0]);
    void *o = CreateObject(nullptr, kClient, kClient);
    if (o == nullptr)
        return;
    void *const *table = *static_cast<void *const *const *>(o);
    ok(reinterpret_cast<OpenSlot>(table[0])(o, path, rec, 2, "tif", 0x4040, 0, 10, 0) == 0, "slot 1: Open");
    ok(reinterpret_cast<ReservedSlot>(table[1])(o) == 0 && LastLineIs("Reserved"), "slot 2: Reserved");
    ok(reinterpret_cast<PushSlot>(table[2])(o, rec, pages[0], 4, scratch, 1, 0) == 0, "slot 3: Push");
    ok(reinterpret_cast<CloseSlot>(table[3])(o) == 0 && LastLineIs("Close -> 0"), "slot 4: Close");
    DeleteFileObject(static_cast<VorFileObject *>(o));
    const void *list[1] = {pages[0]};
    CheckTiff(path, 8, list, 1);
    DeleteFileA(path);
}

static double Since(const LARGE_INTEGER &from)
{
    LARGE_INTEGER now, f;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&f);
    return static_cast<double>(now.QuadPart - from.QuadPart) / static_cast<double>(f.QuadPart);
}

// A Push or a Close on a thread of its own, timed.
struct SlowCall {
    VorFileObject *object;
    unsigned char *rec;
    const void *pic;  // null: Close
    int32_t rc;
    double seconds;
    HANDLE thread;
};

static DWORD WINAPI SlowCallThread(void *arg)
{
    SlowCall *c = static_cast<SlowCall *>(arg);
    LARGE_INTEGER t0;
    QueryPerformanceCounter(&t0);
    c->rc = c->pic != nullptr ? PushPage(c->object, c->rec, c->pic, nullptr) : c->object->Close();
    c->seconds = Since(t0);
    return 0;
}

static void StartCall(SlowCall &c)
{
    c.rc = -1;
    c.seconds = 0;
    c.thread = CreateThread(nullptr, 0, SlowCallThread, &c, 0, nullptr);
    ok(c.thread != nullptr, "CreateThread failed");
}

static void JoinCall(SlowCall &c)
{
    if (c.thread != nullptr) {
        WaitForSingleObject(c.thread, INFINITE);
        CloseHandle(c.thread);
        c.thread = nullptr;
    }
}

static bool WaitEntered(const char *operation, int32_t count)
{
    const DWORD begin = GetTickCount();
    while (Entered(operation) < count) {
        if (GetTickCount() - begin > 2000)
            return false;
        Sleep(1);
    }
    return true;
}

// Delays sleep before the lock, per operation; entered and returned count every call.
static void TestDelays()
{
    Reset();
    const char *const ops[8] = {"VOR_File_PlugInit", "VOR_File_PlugUnInit", "VOR_File_CreateObject",
                                "VOR_File_DeleteObject", "Open", "Reserved", "Push", "Close"};
    bool zero = Entered("Open ") == -1 && Returned("open") == -1 && Entered(nullptr) == -1;
    for (const char *op : ops)
        zero = zero && Entered(op) == 0 && Returned(op) == 0;
    ok(zero, "counters after reset, or unknown names counted");
    SetDelay("Flush", 500);  // ignored

    // Every operation can be made slow, and is counted.
    char first[MAX_PATH], second[MAX_PATH];
    Path(first, "delay1.tif");
    Path(second, "delay2.tif");
    unsigned char pages[3][kPixels], rec[VOR_FILE_INFO_SIZE], rec2[VOR_FILE_INFO_SIZE];
    Pattern8(pages);
    MakeRecord(rec, kW, kH, 8, pages[0]);
    MakeRecord(rec2, kW, kH, 8, pages[1]);
    for (const char *op : ops)
        SetDelay(op, 120);
    double took[8];
    LARGE_INTEGER t0;
    QueryPerformanceCounter(&t0);
    ok(PlugInit(kClient) == 0, "PlugInit");
    took[0] = Since(t0);
    QueryPerformanceCounter(&t0);
    ok(PlugUnInit() == 0, "PlugUnInit");
    took[1] = Since(t0);
    QueryPerformanceCounter(&t0);
    VorFileObject *o = CreateObject(nullptr, kClient, kClient);
    took[2] = Since(t0);
    ok(o != nullptr, "CreateObject");
    if (o == nullptr)
        return;
    QueryPerformanceCounter(&t0);
    ok(OpenFile(o, first, rec) == 0, "Open");
    took[4] = Since(t0);
    QueryPerformanceCounter(&t0);
    ok(o->Reserved() == 0, "Reserved");
    took[5] = Since(t0);
    QueryPerformanceCounter(&t0);
    ok(PushPage(o, rec, pages[0], nullptr) == 0, "Push");
    took[6] = Since(t0);
    QueryPerformanceCounter(&t0);
    ok(o->Close() == 0, "Close");
    took[7] = Since(t0);
    QueryPerformanceCounter(&t0);
    ok(DeleteFileObject(o) == 0, "DeleteObject");
    took[3] = Since(t0);
    for (int i = 0; i < 8; ++i)
        ok(took[i] >= 0.118 && Entered(ops[i]) == 1 && Returned(ops[i]) == 1, "%s: %.3f s, counted %d/%d", ops[i],
           took[i], Entered(ops[i]), Returned(ops[i]));
    for (const char *op : ops)
        SetDelay(op, 0);

    // While a Push sleeps: other operations, control calls, and a Push of another object on
    // this thread all go through.
    VorFileObject *a = CreateObject(nullptr, kClient, kClient), *b = CreateObject(nullptr, kClient, kClient);
    ok(a != nullptr && b != nullptr, "two objects");
    if (a == nullptr || b == nullptr)
        return;
    ok(OpenFile(a, first, rec) == 0 && OpenFile(b, second, rec2) == 0, "two files");
    const DWORD delayMs = 800;
    SetDelay("Push", delayMs);
    SlowCall slow = {a, rec, pages[1], -1, 0, nullptr};
    StartCall(slow);
    ok(WaitEntered("Push", 2), "the delayed Push never entered");
    ok(PlugInit(kClient) == 0 && b->Reserved() == 0 && TraceCount() > 0, "calls while a Push sleeps");
    SetDelay("Push", 0);  // read on entry: the sleeping call keeps its delay
    ok(PushPage(b, rec2, pages[1], nullptr) == 0 && Returned("Push") == 2 && Entered("Push") == 3,
       "a Push on another thread waited for the delayed one (%d/%d)", Entered("Push"), Returned("Push"));
    ok(WaitForSingleObject(slow.thread, 0) == WAIT_TIMEOUT, "the delayed Push ended before the calls made meanwhile");
    JoinCall(slow);
    ok(slow.rc == 0 && slow.seconds >= delayMs / 1000.0 * 0.98, "delayed Push rc %x after %.3f s", slow.rc,
       slow.seconds);
    ok(Entered("Push") == 3 && Returned("Push") == 3, "Push counted %d/%d", Entered("Push"), Returned("Push"));
    ok(a->Close() == 0 && b->Close() == 0, "Close both");
    const void *one[1] = {pages[1]};
    CheckTiff(first, 8, one, 1);
    CheckTiff(second, 8, one, 1);

    // Reset clears delays and counters: a Close with a long delay set before it comes back soon.
    SetDelay("Close", 4000);
    Reset();
    ok(Entered("Push") == 0 && Returned("Close") == 0, "reset kept the counters");
    SlowCall quick = {a, nullptr, nullptr, -1, 0, nullptr};
    StartCall(quick);
    ok(quick.thread != nullptr && WaitForSingleObject(quick.thread, 2000) == WAIT_OBJECT_0, "reset kept the delay");
    JoinCall(quick);
    ok(Entered("Close") == 1 && Returned("Close") == 1, "Close counted after reset");
    DeleteFileObject(a);
    DeleteFileObject(b);
    DeleteFileA(first);
    DeleteFileA(second);
}

static bool Load(const char *simDir)
{
    char dll[MAX_PATH * 2];
    snprintf(dll, sizeof dll, "%s\\full\\VOR_File.dll", simDir);
    g_mod = LoadLibraryA(dll);
    ok(g_mod != nullptr, "cannot load %s (%lu)", dll, GetLastError());
    if (g_mod == nullptr)
        return false;
    PlugInit = Proc<VorFilePlugInitFn>(g_mod, "VOR_File_PlugInit");
    PlugUnInit = Proc<VorFilePlugUnInitFn>(g_mod, "VOR_File_PlugUnInit");
    CreateObject = Proc<VorFileCreateObjectFn>(g_mod, "VOR_File_CreateObject");
    DeleteFileObject = Proc<VorFileDeleteObjectFn>(g_mod, "VOR_File_DeleteObject");
    TraceCount = Proc<VorFileSimTraceCountFn>(g_mod, "VOR_File_SimTraceCount");
    TraceLine = Proc<VorFileSimTraceLineFn>(g_mod, "VOR_File_SimTraceLine");
    TraceClear = Proc<VorFileSimTraceClearFn>(g_mod, "VOR_File_SimTraceClear");
    OpenInfo = Proc<VorFileSimOpenInfoFn>(g_mod, "VOR_File_SimOpenInfo");
    PushInfo = Proc<VorFileSimPushInfoFn>(g_mod, "VOR_File_SimPushInfo");
    FailOpen = Proc<VorFileSimFailOpenFn>(g_mod, "VOR_File_SimFailOpen");
    FailPush = Proc<VorFileSimFailPushFn>(g_mod, "VOR_File_SimFailPush");
    Reset = Proc<VorFileSimResetFn>(g_mod, "VOR_File_SimReset");
    SetDelay = Proc<VorFileSimSetDelayFn>(g_mod, "VOR_File_SimSetDelay");
    Entered = Proc<VorFileSimCallsEnteredFn>(g_mod, "VOR_File_SimCallsEntered");
    Returned = Proc<VorFileSimCallsReturnedFn>(g_mod, "VOR_File_SimCallsReturned");
    const bool all = PlugInit && PlugUnInit && CreateObject && DeleteFileObject && TraceCount && TraceLine && TraceClear &&
                     OpenInfo && PushInfo && FailOpen && FailPush && Reset && SetDelay && Entered && Returned;
    ok(all, "an export is missing");
    return all;
}

// Unloading the library closes the file of an object never deleted.
static void TestUnload()
{
    char path[MAX_PATH];
    Path(path, "unloaded.tif");
    unsigned char pages[3][kPixels], rec[VOR_FILE_INFO_SIZE];
    Pattern8(pages);
    MakeRecord(rec, kW, kH, 8, pages[0]);
    VorFileObject *o = CreateObject(nullptr, kClient, kClient);
    ok(o != nullptr && OpenFile(o, path, rec) == 0 && PushPage(o, rec, pages[0], nullptr) == 0, "open before unload");
    ok(!DeleteFileA(path), "file not held open");
    FreeLibrary(g_mod);
    g_mod = nullptr;
    const void *list[1] = {pages[0]};
    CheckTiff(path, 8, list, 1);
    ok(DeleteFileA(path), "unloading left the file open");
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        printf("usage: vor_file_selftest <sim folder holding full\\VOR_File.dll> [<output folder>]\n");
        return 2;
    }
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    snprintf(g_tmp, sizeof g_tmp, "%svor_file_selftest_%lu", temp, GetCurrentProcessId());
    CreateDirectoryA(g_tmp, nullptr);
    snprintf(g_out, sizeof g_out, "%s", argc > 2 ? argv[2] : g_tmp);
    CreateDirectoryA(g_out, nullptr);
    ok(Exists(g_tmp) && Exists(g_out), "cannot make %s or %s", g_tmp, g_out);
    if (Load(argv[1])) {
        TestSequence8();
        TestSequence12();
        TestOpenFailures();
        TestFailControls();
        TestDeleteOpen();
        TestTableSlots();
        TestDelays();
        TestUnload();
    }
    const char *const names[] = {"sample8.tif", "fail.tif", "sample12.tif"};
    for (const char *name : names) {
        char path[MAX_PATH];
        Path(path, name);
        DeleteFileA(path);
    }
    ok(RemoveDirectoryA(g_tmp), "scratch folder %s not empty", g_tmp);
    return SelfTestResult();
}
