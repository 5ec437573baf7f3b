// Simulated Tornio library (Tn_Cam.dll): allocation by number only; address and event are asked for apart.
#include "sim_core.h"

using namespace sim;

namespace sim {
extern const Family g_family = {2u, INT32_MAX, "Tn_Cam"};
}

extern "C" {

uint32_t WINAPI ALLOCATE_BUFFER(void *h, int32_t *n, uint32_t *size) noexcept
{
    Call call(kAllocateBuffer);
    Lock lock;
    const int32_t nIn = n != nullptr ? *n : 0;
    const uint32_t sizeIn = size != nullptr ? *size : 0;
    uint32_t rc = TakeFault(kAllocateBuffer);
    if (rc == 0) {
        Buffer *b = nullptr;
        if (n == nullptr || size == nullptr)
            rc = SIM_ERR_BAD_ARG;
        else
            rc = Allocate(h, nIn, sizeIn, &b);
        if (rc == 0)
            *n = b->n;
    }
    Trace("ALLOCATE_BUFFER h=%llx n=%d size=%u -> %x", HandleValue(h), nIn, sizeIn, rc);
    return rc;
}

uint32_t WINAPI SETBUFFER_EVENT(void *h, int32_t n, uint32_t *event) noexcept
{
    Call call(kSetBufferEvent);
    Lock lock;
    const uint32_t eventIn = event != nullptr ? *event : 0;
    uint32_t rc = TakeFault(kSetBufferEvent);
    if (rc == 0) {
        const Buffer *b = Find(h, n);
        if (event == nullptr)
            rc = SIM_ERR_BAD_ARG;
        else if (b == nullptr)
            rc = SIM_ERR_NO_BUFFER;
        else
            *event = EventValue(b->event);
    }
    Trace("SETBUFFER_EVENT h=%llx n=%d event=%x -> %x", HandleValue(h), n, eventIn, rc);
    return rc;
}

} // extern "C"
