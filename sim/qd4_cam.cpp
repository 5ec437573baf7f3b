// Simulated QD4 library (QD4_Cam.dll): buffers with 16-bit numbers, pending images, reads from camera memory.
#include "sim_core.h"

using namespace sim;

namespace sim {
extern const Family g_family = {0x8000u, INT16_MAX, "QD4_Cam"};
}

namespace {

// Fills buffer n of h with the image of (segment, firstImage): min(size, limit) bytes.
uint32_t ReadImage(void *h, uint16_t segment, uint32_t firstImage, int16_t n, uint64_t limit) noexcept
{
    Buffer *b = FindUnpinned(h, n);  // never mixed with a frame being written
    if (b == nullptr || b->mem == nullptr)
        return SIM_ERR_NO_BUFFER;
    const uint32_t seed = static_cast<uint32_t>(segment) * 1000u + firstImage;
    Fill(b, seed, limit < b->size ? static_cast<size_t>(limit) : b->size);
    return 0;
}

} // namespace

extern "C" {

uint32_t WINAPI VOR_AllocateBuffer(void *h, int16_t *n, uint32_t size, void **address, uint32_t *event) noexcept
{
    Call call(kVorAllocateBuffer);
    Lock lock;
    const int16_t nIn = n != nullptr ? *n : 0;
    const void *addressIn = address != nullptr ? *address : nullptr;
    const uint32_t eventIn = event != nullptr ? *event : 0;
    uint32_t rc = TakeFault(kVorAllocateBuffer);
    if (rc == 0) {
        Buffer *b = nullptr;
        if (n == nullptr || address == nullptr || event == nullptr)
            rc = SIM_ERR_BAD_ARG;
        else
            rc = Allocate(h, nIn, size, &b);
        if (rc == 0) {
            *n = static_cast<int16_t>(b->n);
            *address = NullAddress(kVorAllocateBuffer) ? nullptr : b->mem;
            *event = EventValue(b->event);
        }
    }
    Trace("VOR_AllocateBuffer h=%llx n=%d size=%u addr=%llx event=%x -> %x",
          HandleValue(h), int(nIn), size, HandleValue(addressIn), eventIn, rc);
    return rc;
}

uint32_t WINAPI VOR_FreeBuffer(void *h, int16_t n) noexcept
{
    SignalOnFree(h, n);  // a frame arriving while the caller frees
    Call call(kVorFreeBuffer);
    Lock lock;
    uint32_t rc = TakeFault(kVorFreeBuffer);
    if (rc == 0)
        rc = Free(h, n);
    Trace("VOR_FreeBuffer h=%llx n=%d -> %x", HandleValue(h), int(n), rc);
    return rc;
}

uint32_t WINAPI VOR_GetBufferStatus(void *h, int16_t n, uint32_t *status, uint32_t *driverStatus) noexcept
{
    Call call(kVorGetBufferStatus);
    Lock lock;
    uint32_t rc = TakeFault(kVorGetBufferStatus);
    if (rc == 0) {
        const Buffer *b = Find(h, n);
        if (status == nullptr || driverStatus == nullptr) {
            rc = SIM_ERR_BAD_ARG;
        } else if (b == nullptr) {
            rc = SIM_ERR_NO_BUFFER;
        } else {
            *status = b->status;
            *driverStatus = b->driverStatus;
        }
    }
    Trace("VOR_GetBufferStatus h=%llx n=%d -> %x", HandleValue(h), int(n), rc);
    return rc;
}

uint32_t WINAPI VOR_GetPendingBuffer(void *h, int32_t *count) noexcept
{
    Call call(kVorGetPendingBuffer);
    Lock lock;
    uint32_t rc = TakeFault(kVorGetPendingBuffer);
    if (rc == 0) {
        if (count == nullptr)
            rc = SIM_ERR_BAD_ARG;
        else
            *count = Pending(h);
    }
    Trace("VOR_GetPendingBuffer h=%llx -> %x", HandleValue(h), rc);
    return rc;
}

uint32_t WINAPI VOR_CancelImages(void *h) noexcept
{
    Call call(kVorCancelImages);
    Lock lock;
    const uint32_t rc = TakeFault(kVorCancelImages);
    if (rc == 0)
        SetPending(h, 0);
    Trace("VOR_CancelImages h=%llx -> %x", HandleValue(h), rc);
    return rc;
}

uint32_t WINAPI VOR_GetImage(void *h, uint16_t segment, uint32_t firstImage, uint32_t lastImage, int16_t n) noexcept
{
    Call call(kVorGetImage);
    Lock lock;
    uint32_t rc = TakeFault(kVorGetImage);
    if (rc == 0)
        rc = ReadImage(h, segment, firstImage, n, UINT64_MAX);
    Trace("VOR_GetImage h=%llx seg=%u first=%u last=%u n=%d -> %x",
          HandleValue(h), unsigned(segment), firstImage, lastImage, int(n), rc);
    return rc;
}

uint32_t WINAPI VOR_GetImageEx(void *h, uint16_t segment, uint32_t firstImage, uint32_t lastImage, int16_t n,
                               uint16_t width, uint16_t height, uint16_t bitsPerPixel) noexcept
{
    Call call(kVorGetImageEx);
    Lock lock;
    uint32_t rc = TakeFault(kVorGetImageEx);
    if (rc == 0) {
        const uint64_t pixelWidth = bitsPerPixel > 8 ? 2 : 1;
        rc = ReadImage(h, segment, firstImage, n, static_cast<uint64_t>(width) * height * pixelWidth);
    }
    Trace("VOR_GetImageEx h=%llx seg=%u first=%u last=%u n=%d width=%u height=%u bpp=%u -> %x",
          HandleValue(h), unsigned(segment), firstImage, lastImage, int(n), unsigned(width), unsigned(height),
          unsigned(bitsPerPixel), rc);
    return rc;
}

uint32_t WINAPI VOR_GetBuffer(void *h, int16_t n, void **address) noexcept
{
    Call call(kVorGetBuffer);
    Lock lock;
    uint32_t rc = TakeFault(kVorGetBuffer);
    if (rc == 0) {
        const Buffer *b = Find(h, n);
        if (address == nullptr)
            rc = SIM_ERR_BAD_ARG;
        else if (b == nullptr)
            rc = SIM_ERR_NO_BUFFER;
        else
            *address = b->mem;
    }
    Trace("VOR_GetBuffer h=%llx n=%d -> %x", HandleValue(h), int(n), rc);
    return rc;
}

} // extern "C"
