// Entry points that the Lanticam and Tornio libraries share.
#include "sim_core.h"

#include <string.h>

using namespace sim;

extern "C" {

uint32_t WINAPI MAP_BUFFER(void *h, int32_t n, uint32_t size, uint32_t zero, void **address) noexcept
{
    Call call(kMapBuffer);
    Lock lock;
    uint32_t rc = TakeFault(kMapBuffer);
    if (rc == 0) {
        const Buffer *b = Find(h, n);
        if (address == nullptr)
            rc = SIM_ERR_BAD_ARG;
        else if (b == nullptr)
            rc = SIM_ERR_NO_BUFFER;
        else
            *address = NullAddress(kMapBuffer) ? nullptr : b->mem;
    }
    Trace("MAP_BUFFER h=%llx n=%d size=%u zero=%u -> %x", HandleValue(h), n, size, zero, rc);
    return rc;
}

uint32_t WINAPI UNMAP_BUFFER(void *h, int32_t n) noexcept
{
    Call call(kUnmapBuffer);
    Lock lock;
    uint32_t rc = TakeFault(kUnmapBuffer);
    if (rc == 0 && Find(h, n) == nullptr)
        rc = SIM_ERR_NO_BUFFER;
    Trace("UNMAP_BUFFER h=%llx n=%d -> %x", HandleValue(h), n, rc);
    return rc;
}

uint32_t WINAPI REMOVE_ALL_BUFFERS_FROM_LIST(void *h) noexcept
{
    Call call(kRemoveAllBuffersFromList);
    Lock lock;
    const uint32_t rc = TakeFault(kRemoveAllBuffersFromList);
    Trace("REMOVE_ALL_BUFFERS_FROM_LIST h=%llx -> %x", HandleValue(h), rc);
    return rc;
}

uint32_t WINAPI FREE_BUFFER(void *h, int32_t n) noexcept
{
    SignalOnFree(h, n);  // a frame arriving while the caller frees
    Call call(kFreeBuffer);
    Lock lock;
    uint32_t rc = TakeFault(kFreeBuffer);
    if (rc == 0)
        rc = Free(h, n);
    Trace("FREE_BUFFER h=%llx n=%d -> %x", HandleValue(h), n, rc);
    return rc;
}

uint32_t WINAPI GETBUFFER_STATUS(void *h, int32_t n, uint32_t mode, uint32_t *statusArea, int32_t len) noexcept
{
    Call call(kGetBufferStatus);
    Lock lock;
    uint32_t rc = TakeFault(kGetBufferStatus);
    if (rc == 0) {
        const Buffer *b = Find(h, n);
        if (statusArea == nullptr || len < 0) {
            rc = SIM_ERR_BAD_ARG;
        } else if (b == nullptr) {
            rc = SIM_ERR_NO_BUFFER;
        } else {
            // Word 0: status, word 1: size, word 2: reserved; only the first len bytes are written.
            const uint32_t area[3] = {b->status, b->size, 0};
            memcpy(statusArea, area, static_cast<size_t>(len) < sizeof area ? static_cast<size_t>(len) : sizeof area);
        }
    }
    Trace("GETBUFFER_STATUS h=%llx n=%d mode=%u len=%d -> %x", HandleValue(h), n, mode, len, rc);
    return rc;
}

} // extern "C"
