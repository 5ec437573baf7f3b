// Simulated Lanticam library (Lan_Cam.dll): allocation that hands out address and event at once.
#include "sim_core.h"

using namespace sim;

namespace sim {
extern const Family g_family = {2u, INT32_MAX, "Lan_Cam"};
}

extern "C" {

uint32_t WINAPI ALLOCATE_BUFFER_EX(void *h, int32_t *n, uint32_t size, uint32_t *event, void **address) noexcept
{
    Call call(kAllocateBufferEx);
    Lock lock;
    const int32_t nIn = n != nullptr ? *n : 0;
    const uint32_t eventIn = event != nullptr ? *event : 0;
    const void *addressIn = address != nullptr ? *address : nullptr;
    uint32_t rc = TakeFault(kAllocateBufferEx);
    if (rc == 0) {
        Buffer *b = nullptr;
        if (n == nullptr || event == nullptr || address == nullptr)
            rc = SIM_ERR_BAD_ARG;
        else
            rc = Allocate(h, nIn, size, &b);
        if (rc == 0) {
            *n = b->n;
            *event = EventValue(b->event);
            if (!NullAddress(kAllocateBufferEx))  // null-address mode: the caller has to map
                *address = b->mem;
        }
    }
    Trace("ALLOCATE_BUFFER_EX h=%llx n=%d size=%u event=%x addr=%llx -> %x",
          HandleValue(h), nIn, size, eventIn, HandleValue(addressIn), rc);
    return rc;
}

} // extern "C"
