// Stand-in file plug-in: writes each page it is pushed into an uncompressed multi-page grayscale TIFF.
#include "vor_file_control.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <new>
#include <type_traits>

namespace {

const int32_t kTraceLines = 4096;
const size_t kLocalLine = 1024;

// Every IFD: entry count, 13 entries, next-IFD offset, then the two resolutions it points at.
const uint32_t kEntries = 13;
const uint32_t kIfdBytes = 2 + kEntries * 12 + 4;
const uint32_t kBlockBytes = kIfdBytes + 16;
const uint64_t kTiffLimit = 0xFFFFFFFFull;  // TIFF offsets are 32 bits

class TiffFile;

// The exports and object operations that test support can slow down and count.
enum Operation { kPlugInit, kPlugUnInit, kCreateObject, kDeleteObject, kOpen, kReserved, kPush, kClose, kOperations };
const char *const kOperationNames[kOperations] = {"VOR_File_PlugInit", "VOR_File_PlugUnInit", "VOR_File_CreateObject",
                                                  "VOR_File_DeleteObject", "Open", "Reserved", "Push", "Close"};

// Read and written without the lock, so tests see a call in progress while it waits for it.
volatile LONG g_delays[kOperations];
volatile LONG g_entered[kOperations];
volatile LONG g_returned[kOperations];

CRITICAL_SECTION g_lock;
HANDLE g_heap;  // private heap of the trace lines; destroyed on unload

char *g_trace[kTraceLines];
int32_t g_traceCount;  // calls traced, including those past the kept lines
unsigned char g_openInfo[VOR_FILE_INFO_SIZE];
int32_t g_openInfoSize;
unsigned char g_pushInfo[VOR_FILE_INFO_SIZE];
int32_t g_pushInfoSize;
uint32_t g_failOpen;
uint32_t g_failPush;
TiffFile *g_objects;  // live objects, so that unloading closes their files

struct Lock {
    Lock() noexcept { EnterCriticalSection(&g_lock); }
    ~Lock() { LeaveCriticalSection(&g_lock); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
};

// One call of an operation: counted on entry, then its delay slept before any lock; counted
// again when it returns.
class Call {
public:
    explicit Call(Operation op) noexcept : op_(op)
    {
        InterlockedIncrement(&g_entered[op]);
        const DWORD ms = static_cast<DWORD>(g_delays[op]);
        if (ms != 0)
            Sleep(ms);
    }
    ~Call() { InterlockedIncrement(&g_returned[op_]); }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

private:
    Operation op_;
};

int FindOperation(const char *name) noexcept
{
    if (name == nullptr)
        return -1;
    for (int i = 0; i < kOperations; ++i)
        if (strcmp(kOperationNames[i], name) == 0)
            return i;
    return -1;
}

unsigned long long Hex(const void *p) noexcept
{
    return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p));
}

const char *Str(const char *s) noexcept { return s != nullptr ? s : "(null)"; }

char *CopyLine(const char *text, size_t length) noexcept
{
    char *line = static_cast<char *>(HeapAlloc(g_heap, 0, length + 1));
    if (line != nullptr) {
        memcpy(line, text, length);
        line[length] = '\0';
    }
    return line;
}

void Trace(const char *format, ...) noexcept
{
    char local[kLocalLine];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = vsnprintf(local, sizeof local, format, args);
    va_end(args);
    char *line = nullptr;
    if (n >= 0 && static_cast<size_t>(n) < sizeof local) {
        line = CopyLine(local, static_cast<size_t>(n));
    } else if (n > 0) {
        // Longer than the local buffer (a long file name): format once more at full length.
        line = static_cast<char *>(HeapAlloc(g_heap, 0, static_cast<size_t>(n) + 1));
        if (line != nullptr)
            vsnprintf(line, static_cast<size_t>(n) + 1, format, again);
    } else {
        local[sizeof local - 1] = '\0';
        line = CopyLine(local, strlen(local));
    }
    va_end(again);

    Lock lock;
    if (g_traceCount < kTraceLines) {
        g_trace[g_traceCount] = line;
        line = nullptr;
    }
    if (g_traceCount < INT32_MAX)
        ++g_traceCount;
    if (line != nullptr)
        HeapFree(g_heap, 0, line);
}

// The caller holds the lock or is the only thread.
void ClearTrace() noexcept
{
    const int32_t kept = g_traceCount < kTraceLines ? g_traceCount : kTraceLines;
    for (int32_t i = 0; i < kept; ++i) {
        if (g_trace[i] != nullptr)
            HeapFree(g_heap, 0, g_trace[i]);
        g_trace[i] = nullptr;
    }
    g_traceCount = 0;
}

void Snapshot(unsigned char *to, int32_t *size, const void *record) noexcept
{
    if (record == nullptr) {
        *size = 0;
        return;
    }
    memcpy(to, record, VOR_FILE_INFO_SIZE);
    *size = VOR_FILE_INFO_SIZE;
}

int32_t CopySnapshot(const unsigned char *from, int32_t have, void *out, int32_t size) noexcept
{
    if (out == nullptr || size <= 0)
        return 0;
    const int32_t n = size < have ? size : have;
    memcpy(out, from, static_cast<size_t>(n));
    return n;
}

uint32_t Le32(const unsigned char *p) noexcept
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void Put16(unsigned char *p, uint32_t v) noexcept
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void Put32(unsigned char *p, uint32_t v) noexcept
{
    Put16(p, v);
    Put16(p + 2, v >> 16);
}

bool WriteAll(HANDLE file, const void *data, uint64_t bytes) noexcept
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    while (bytes > 0) {
        const DWORD chunk = bytes > 0x40000000u ? 0x40000000u : static_cast<DWORD>(bytes);
        DWORD written = 0;
        if (!WriteFile(file, p, chunk, &written, nullptr) || written == 0)
            return false;
        p += written;
        bytes -= written;
    }
    return true;
}

bool Seek(HANDLE file, uint64_t offset) noexcept
{
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, to, nullptr, FILE_BEGIN) != 0;
}

class TiffFile final : public VorFileObject {
public:
    int32_t Open(const char *fileName, void *imageInfo, int32_t two, const char *tif, int32_t flags, int64_t zero1,
                 int32_t openValue, int64_t zero2) noexcept override;
    int32_t Reserved() noexcept override;
    int32_t Push(void *imageInfo, const void *picPtr, int32_t four, void *scratch, int32_t one,
                 int16_t zero) noexcept override;
    int32_t Close() noexcept override;

    // Closes the file if one is open.  Each page leaves the file complete, so nothing is left to write.
    void Shut() noexcept;

    TiffFile *prev = nullptr;
    TiffFile *next = nullptr;

private:
    uint32_t Create(const char *fileName, const void *imageInfo) noexcept;
    uint32_t Append(const void *picPtr) noexcept;
    void BuildBlock(unsigned char *block, uint32_t ifd, uint32_t dataOffset, uint32_t dataBytes) const noexcept;

    HANDLE file_ = INVALID_HANDLE_VALUE;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t sampleBytes_ = 1;
    uint64_t end_ = 0;   // bytes written so far; always even
    uint64_t link_ = 0;  // where the offset of the next IFD goes: the header's, or the last IFD's
};

int32_t TiffFile::Open(const char *fileName, void *imageInfo, int32_t two, const char *tif, int32_t flags,
                       int64_t zero1, int32_t openValue, int64_t zero2) noexcept
{
    Call call(kOpen);
    uint32_t rc;
    {
        Lock lock;
        Snapshot(g_openInfo, &g_openInfoSize, imageInfo);
        rc = g_failOpen;
    }
    Shut();
    if (rc == 0)
        rc = Create(fileName, imageInfo);
    Trace("Open name=\"%s\" info=%llx two=%d tif=\"%s\" flags=%x zero1=%lld open=%d zero2=%lld -> %x", Str(fileName),
          Hex(imageInfo), static_cast<int>(two), Str(tif), static_cast<unsigned>(flags),
          static_cast<long long>(zero1), static_cast<int>(openValue), static_cast<long long>(zero2),
          static_cast<unsigned>(rc));
    return static_cast<int32_t>(rc);
}

uint32_t TiffFile::Create(const char *fileName, const void *imageInfo) noexcept
{
    if (fileName == nullptr || imageInfo == nullptr)
        return VOR_FILE_ERR_BAD_ARG;
    const unsigned char *info = static_cast<const unsigned char *>(imageInfo);
    const uint32_t width = Le32(info + VOR_FILE_INFO_WIDTH);
    const uint32_t height = Le32(info + VOR_FILE_INFO_HEIGHT);
    const uint32_t sampleBytes = Le32(info + VOR_FILE_INFO_BITS) <= 8 ? 1 : 2;
    if (width == 0 || height == 0)
        return VOR_FILE_ERR_BAD_ARG;
    // A page that could never fit below the offset limit is refused before any file exists.
    const uint64_t pageBytes = static_cast<uint64_t>(width) * height * sampleBytes;
    if (8 + kBlockBytes + pageBytes + 1 > kTiffLimit)
        return VOR_FILE_ERR_TOO_LARGE;

    HANDLE file = CreateFileA(fileName, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return VOR_FILE_ERR_CREATE;
    // Little-endian header; the first IFD's offset is filled in by the first page.
    const unsigned char header[8] = {'I', 'I', 42, 0, 0, 0, 0, 0};
    if (!WriteAll(file, header, sizeof header)) {
        CloseHandle(file);
        DeleteFileA(fileName);
        return VOR_FILE_ERR_WRITE;
    }
    file_ = file;
    width_ = width;
    height_ = height;
    sampleBytes_ = sampleBytes;
    end_ = sizeof header;
    link_ = 4;
    return 0;
}

int32_t TiffFile::Reserved() noexcept
{
    Call call(kReserved);
    Trace("Reserved");
    return 0;
}

int32_t TiffFile::Push(void *imageInfo, const void *picPtr, int32_t four, void *scratch, int32_t one,
                       int16_t zero) noexcept
{
    Call call(kPush);
    uint32_t rc;
    {
        Lock lock;
        Snapshot(g_pushInfo, &g_pushInfoSize, imageInfo);
        rc = g_failPush;
    }
    if (rc == 0)
        rc = Append(picPtr);
    Trace("Push info=%llx pic=%llx four=%d scratch=%s one=%d zero=%d -> %x", Hex(imageInfo), Hex(picPtr),
          static_cast<int>(four), scratch != nullptr ? "set" : "null", static_cast<int>(one), static_cast<int>(zero),
          static_cast<unsigned>(rc));
    return static_cast<int32_t>(rc);
}

void TiffFile::BuildBlock(unsigned char *block, uint32_t ifd, uint32_t dataOffset, uint32_t dataBytes) const noexcept
{
    enum { kShort = 3, kLong = 4, kRational = 5 };
    const uint32_t resolutions = ifd + kIfdBytes;
    const struct {
        uint16_t tag, type;
        uint32_t value;
    } entries[kEntries] = {
        {254, kLong, 0},                           // NewSubfileType: a full-resolution image
        {256, kLong, width_},                      // ImageWidth
        {257, kLong, height_},                     // ImageLength
        {258, kShort, sampleBytes_ * 8},           // BitsPerSample
        {259, kShort, 1},                          // Compression: none
        {262, kShort, 1},                          // PhotometricInterpretation: min-is-black
        {273, kLong, dataOffset},                  // StripOffsets: one strip
        {277, kShort, 1},                          // SamplesPerPixel
        {278, kLong, height_},                     // RowsPerStrip
        {279, kLong, dataBytes},                   // StripByteCounts
        {282, kRational, resolutions},             // XResolution
        {283, kRational, resolutions + 8},         // YResolution
        {296, kShort, 2},                          // ResolutionUnit: inch
    };
    memset(block, 0, kBlockBytes);
    Put16(block, kEntries);
    unsigned char *e = block + 2;
    for (const auto &entry : entries) {
        Put16(e, entry.tag);
        Put16(e + 2, entry.type);
        Put32(e + 4, 1);
        if (entry.type == kShort)
            Put16(e + 8, entry.value);  // left-justified in the value field
        else
            Put32(e + 8, entry.value);
        e += 12;
    }
    // Next-IFD offset stays 0 until another page follows; then 72/1 twice.
    unsigned char *r = block + kIfdBytes;
    Put32(r, 72);
    Put32(r + 4, 1);
    Put32(r + 8, 72);
    Put32(r + 12, 1);
}

uint32_t TiffFile::Append(const void *picPtr) noexcept
{
    if (file_ == INVALID_HANDLE_VALUE)
        return VOR_FILE_ERR_NOT_OPEN;
    if (picPtr == nullptr)
        return VOR_FILE_ERR_BAD_ARG;
    const uint64_t dataBytes = static_cast<uint64_t>(width_) * height_ * sampleBytes_;
    const uint64_t ifd = end_;
    const uint64_t dataOffset = ifd + kBlockBytes;
    const uint64_t after = dataOffset + dataBytes + (dataBytes & 1);
    if (after > kTiffLimit)
        return VOR_FILE_ERR_TOO_LARGE;

    unsigned char block[kBlockBytes];
    BuildBlock(block, static_cast<uint32_t>(ifd), static_cast<uint32_t>(dataOffset), static_cast<uint32_t>(dataBytes));
    unsigned char link[4];
    Put32(link, static_cast<uint32_t>(ifd));
    const unsigned char pad = 0;
    // The page goes after the end, and only then is it linked in: a failed write leaves the
    // earlier pages as they were, and the tail is cut off again.
    bool written = Seek(file_, ifd) && WriteAll(file_, block, kBlockBytes) && WriteAll(file_, picPtr, dataBytes) &&
                   ((dataBytes & 1) == 0 || WriteAll(file_, &pad, 1));
    written = written && Seek(file_, link_) && WriteAll(file_, link, sizeof link);
    if (!written) {
        if (Seek(file_, end_))
            SetEndOfFile(file_);
        return VOR_FILE_ERR_WRITE;
    }
    link_ = ifd + kIfdBytes - 4;
    end_ = after;
    return 0;
}

int32_t TiffFile::Close() noexcept
{
    Call call(kClose);
    Shut();
    Trace("Close -> %x", 0u);
    return 0;
}

void TiffFile::Shut() noexcept
{
    if (file_ != INVALID_HANDLE_VALUE) {
        CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }
}

} // namespace

extern "C" {

int32_t WINAPI VOR_File_PlugInit(const char *client) noexcept
{
    Call call(kPlugInit);
    Trace("PlugInit client=\"%s\"", Str(client));
    return 0;
}

int32_t WINAPI VOR_File_PlugUnInit(void) noexcept
{
    Call call(kPlugUnInit);
    Trace("PlugUnInit");
    return 0;
}

VorFileObject *WINAPI VOR_File_CreateObject(void *reserved, const char *client, const char *client2) noexcept
{
    Call call(kCreateObject);
    TiffFile *object = new (std::nothrow) TiffFile();
    if (object != nullptr) {
        Lock lock;
        object->next = g_objects;
        if (g_objects != nullptr)
            g_objects->prev = object;
        g_objects = object;
    }
    Trace("CreateObject reserved=%llx client=\"%s\" client2=\"%s\" -> %s", Hex(reserved), Str(client), Str(client2),
          object != nullptr ? "object" : "null");
    return object;
}

int32_t WINAPI VOR_File_DeleteObject(VorFileObject *object) noexcept
{
    Call call(kDeleteObject);
    int32_t rc = 0;
    if (object != nullptr) {
        // Only objects made here are destroyed; anything else is refused and left alone.
        TiffFile *found = nullptr;
        {
            Lock lock;
            for (TiffFile *o = g_objects; o != nullptr; o = o->next)
                if (o == object)
                    found = o;
            if (found != nullptr) {
                if (found->prev != nullptr)
                    found->prev->next = found->next;
                else
                    g_objects = found->next;
                if (found->next != nullptr)
                    found->next->prev = found->prev;
            }
        }
        if (found != nullptr) {
            found->Shut();
            delete found;
        } else {
            rc = static_cast<int32_t>(VOR_FILE_ERR_BAD_ARG);
        }
    }
    Trace("DeleteObject");
    return rc;
}

int32_t WINAPI VOR_File_SimTraceCount(void) noexcept
{
    Lock lock;
    return g_traceCount;
}

int32_t WINAPI VOR_File_SimTraceLine(int32_t index, char *out, int32_t size) noexcept
{
    Lock lock;
    const int32_t kept = g_traceCount < kTraceLines ? g_traceCount : kTraceLines;
    if (index < 0 || index >= kept)
        return -1;
    const char *line = g_trace[index] != nullptr ? g_trace[index] : "";
    const size_t length = strlen(line);
    if (out != nullptr && size > 0) {
        const size_t copy = length < static_cast<size_t>(size) ? length : static_cast<size_t>(size) - 1;
        memcpy(out, line, copy);
        out[copy] = '\0';
    }
    return static_cast<int32_t>(length);
}

void WINAPI VOR_File_SimTraceClear(void) noexcept
{
    Lock lock;
    ClearTrace();
}

int32_t WINAPI VOR_File_SimOpenInfo(void *out, int32_t size) noexcept
{
    Lock lock;
    return CopySnapshot(g_openInfo, g_openInfoSize, out, size);
}

int32_t WINAPI VOR_File_SimPushInfo(void *out, int32_t size) noexcept
{
    Lock lock;
    return CopySnapshot(g_pushInfo, g_pushInfoSize, out, size);
}

void WINAPI VOR_File_SimFailOpen(uint32_t code) noexcept
{
    Lock lock;
    g_failOpen = code;
}

void WINAPI VOR_File_SimFailPush(uint32_t code) noexcept
{
    Lock lock;
    g_failPush = code;
}

void WINAPI VOR_File_SimReset(void) noexcept
{
    Lock lock;
    ClearTrace();
    g_openInfoSize = 0;
    g_pushInfoSize = 0;
    g_failOpen = 0;
    g_failPush = 0;
    for (int i = 0; i < kOperations; ++i) {
        InterlockedExchange(&g_delays[i], 0);
        InterlockedExchange(&g_entered[i], 0);
        InterlockedExchange(&g_returned[i], 0);
    }
}

void WINAPI VOR_File_SimSetDelay(const char *operation, uint32_t ms) noexcept
{
    const int op = FindOperation(operation);
    if (op >= 0)
        InterlockedExchange(&g_delays[op], static_cast<LONG>(ms < INFINITE ? ms : INFINITE - 1));
}

int32_t WINAPI VOR_File_SimCallsEntered(const char *operation) noexcept
{
    const int op = FindOperation(operation);
    return op >= 0 ? static_cast<int32_t>(InterlockedCompareExchange(&g_entered[op], 0, 0)) : -1;
}

int32_t WINAPI VOR_File_SimCallsReturned(const char *operation) noexcept
{
    const int op = FindOperation(operation);
    return op >= 0 ? static_cast<int32_t>(InterlockedCompareExchange(&g_returned[op], 0, 0)) : -1;
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
        // FreeLibrary: close the files of objects never deleted and hand back all memory.
        // At process exit (reserved != null) the system reclaims it all.
        while (g_objects != nullptr) {
            TiffFile *next = g_objects->next;
            g_objects->Shut();
            delete g_objects;
            g_objects = next;
        }
        DeleteCriticalSection(&g_lock);
        HeapDestroy(g_heap);
        g_heap = nullptr;
    }
    return TRUE;
}

} // extern "C"

// The exports must keep the signatures of the interface header.
static_assert(std::is_convertible<decltype(&VOR_File_PlugInit), VorFilePlugInitFn>::value, "PlugInit");
static_assert(std::is_convertible<decltype(&VOR_File_PlugUnInit), VorFilePlugUnInitFn>::value, "PlugUnInit");
static_assert(std::is_convertible<decltype(&VOR_File_CreateObject), VorFileCreateObjectFn>::value, "CreateObject");
static_assert(std::is_convertible<decltype(&VOR_File_DeleteObject), VorFileDeleteObjectFn>::value, "DeleteObject");
static_assert(std::is_convertible<decltype(&VOR_File_SimTraceCount), VorFileSimTraceCountFn>::value, "SimTraceCount");
static_assert(std::is_convertible<decltype(&VOR_File_SimTraceLine), VorFileSimTraceLineFn>::value, "SimTraceLine");
static_assert(std::is_convertible<decltype(&VOR_File_SimTraceClear), VorFileSimTraceClearFn>::value, "SimTraceClear");
static_assert(std::is_convertible<decltype(&VOR_File_SimOpenInfo), VorFileSimOpenInfoFn>::value, "SimOpenInfo");
static_assert(std::is_convertible<decltype(&VOR_File_SimPushInfo), VorFileSimPushInfoFn>::value, "SimPushInfo");
static_assert(std::is_convertible<decltype(&VOR_File_SimFailOpen), VorFileSimFailOpenFn>::value, "SimFailOpen");
static_assert(std::is_convertible<decltype(&VOR_File_SimFailPush), VorFileSimFailPushFn>::value, "SimFailPush");
static_assert(std::is_convertible<decltype(&VOR_File_SimReset), VorFileSimResetFn>::value, "SimReset");
static_assert(std::is_convertible<decltype(&VOR_File_SimSetDelay), VorFileSimSetDelayFn>::value, "SimSetDelay");
static_assert(std::is_convertible<decltype(&VOR_File_SimCallsEntered), VorFileSimCallsEnteredFn>::value,
              "SimCallsEntered");
static_assert(std::is_convertible<decltype(&VOR_File_SimCallsReturned), VorFileSimCallsReturnedFn>::value,
              "SimCallsReturned");
// Only the table pointer: the object's operations are reached through its first 8 bytes.
static_assert(std::is_polymorphic<VorFileObject>::value && sizeof(VorFileObject) == sizeof(void *), "object layout");
