// The per-family operations of the buffer exports.
#include "camera/sdk_families.h"

namespace {

constexpr uint32_t kFilledMask = 0xF00F;   // families 1 and 2: first status word
constexpr uint32_t kFilledValue = 2;
constexpr uint32_t kQd4FilledBit = 0x8000;

ErrorCode AllocateLanticam(const FamilyEntryPoints& entry, void* hCam, int16_t* bufNr, uint32_t size,
                           uint32_t* event, void** address) noexcept {
  const LanticamEntryPoints& g = entry.lanticam;
  if (g.ALLOCATE_BUFFER_EX == nullptr || g.MAP_BUFFER == nullptr) return kOptionNotAvailable;
  int32_t number = *bufNr;
  ErrorCode result = g.ALLOCATE_BUFFER_EX(hCam, &number, size, event, address);
  if (result == kOk && *address == nullptr) result = g.MAP_BUFFER(hCam, number, size, 0, address);
  *bufNr = static_cast<int16_t>(number);
  return result;
}

ErrorCode AllocateTornio(const FamilyEntryPoints& entry, void* hCam, int16_t* bufNr, uint32_t size,
                         uint32_t* event, void** address) noexcept {
  const TornioEntryPoints& g = entry.tornio;
  if (g.ALLOCATE_BUFFER == nullptr || g.MAP_BUFFER == nullptr || g.SETBUFFER_EVENT == nullptr) {
    return kOptionNotAvailable;
  }
  int32_t number = *bufNr;
  uint32_t workingSize = size;
  ErrorCode result = g.ALLOCATE_BUFFER(hCam, &number, &workingSize);
  if (result == kOk) {
    if (*address == nullptr) {
      result = g.MAP_BUFFER(hCam, number, size, 0, address);
      // A mapping without an address has no buffer to attach an event to.
      if (result == kOk && *address != nullptr) result = g.SETBUFFER_EVENT(hCam, number, event);
    } else {
      result = g.SETBUFFER_EVENT(hCam, number, event);
    }
  }
  *bufNr = static_cast<int16_t>(number);
  return result;
}

ErrorCode AllocateQd4(const FamilyEntryPoints& entry, void* hCam, int16_t* bufNr, uint32_t size, uint32_t* event,
                      void** address) noexcept {
  if (entry.qd4.VOR_AllocateBuffer == nullptr) return kOptionNotAvailable;
  return entry.qd4.VOR_AllocateBuffer(hCam, bufNr, size, address, event);
}

// Families 1 and 2 release alike, each through its own library.
template <typename Group>
ErrorCode ReleaseMapped(const Group& g, void* hCam, int32_t bufNr) noexcept {
  if (g.FREE_BUFFER == nullptr) return kOptionNotAvailable;
  if (g.UNMAP_BUFFER != nullptr) g.UNMAP_BUFFER(hCam, bufNr);
  return g.FREE_BUFFER(hCam, bufNr);
}

ErrorCode ReleaseLanticam(const FamilyEntryPoints& entry, void* hCam, int32_t bufNr) noexcept {
  return ReleaseMapped(entry.lanticam, hCam, bufNr);
}

ErrorCode ReleaseTornio(const FamilyEntryPoints& entry, void* hCam, int32_t bufNr) noexcept {
  return ReleaseMapped(entry.tornio, hCam, bufNr);
}

ErrorCode ReleaseQd4(const FamilyEntryPoints& entry, void* hCam, int32_t bufNr) noexcept {
  if (entry.qd4.VOR_FreeBuffer == nullptr) return kOptionNotAvailable;
  return entry.qd4.VOR_FreeBuffer(hCam, static_cast<int16_t>(bufNr));
}

// Families 1 and 2: the first status word, ANDed with 0xF00F, is 2 for a filled buffer.  The
// area starts zeroed, so a status call that writes nothing reads as not filled.
ErrorCode ConfirmMapped(GetBufferStatusFn getStatus, void* hCam, int32_t bufNr) noexcept {
  if (getStatus == nullptr) return kOptionNotAvailable;
  uint32_t statusArea[3] = {0, 0, 0};
  getStatus(hCam, bufNr, 0, statusArea, sizeof statusArea);
  return (statusArea[0] & kFilledMask) == kFilledValue ? kOk : kBufferNotFilled;
}

ErrorCode ConfirmLanticam(const FamilyEntryPoints& entry, void* hCam, int32_t bufNr, int* lineNumber) noexcept {
  *lineNumber = 3;
  return ConfirmMapped(entry.lanticam.GETBUFFER_STATUS, hCam, bufNr);
}

ErrorCode ConfirmTornio(const FamilyEntryPoints& entry, void* hCam, int32_t bufNr, int* lineNumber) noexcept {
  *lineNumber = 4;
  return ConfirmMapped(entry.tornio.GETBUFFER_STATUS, hCam, bufNr);
}

// QD4: a non-zero driver status is the error itself; otherwise bit 15 says filled.
ErrorCode ConfirmQd4(const FamilyEntryPoints& entry, void* hCam, int32_t bufNr, int* lineNumber) noexcept {
  *lineNumber = 6;
  if (entry.qd4.VOR_GetBufferStatus == nullptr) return kOptionNotAvailable;
  uint32_t status = 0;
  uint32_t driverStatus = 0;
  entry.qd4.VOR_GetBufferStatus(hCam, static_cast<int16_t>(bufNr), &status, &driverStatus);
  if (driverStatus != 0) {
    *lineNumber = 5;
    return driverStatus;
  }
  return (status & kQd4FilledBit) != 0 ? kOk : kBufferNotFilled;
}

constexpr FamilyOps kFamilyOps[] = {
    {AllocateLanticam, ReleaseLanticam, ConfirmLanticam},
    {AllocateTornio, ReleaseTornio, ConfirmTornio},
    {AllocateQd4, ReleaseQd4, ConfirmQd4},
};

}  // namespace

const FamilyOps* OpsOf(int32_t family) noexcept {
  return family >= kLanticam && family <= kQd4 ? &kFamilyOps[family - kLanticam] : nullptr;
}

HMODULE FamilyLibrary(const FamilyEntryPoints& entry, int32_t family) noexcept {
  switch (family) {
    case kLanticam: return entry.lanticam.hLib;
    case kTornio:   return entry.tornio.hLib;
    case kQd4:      return entry.qd4.hLib;
    default:        return nullptr;
  }
}

void ForgetFamilyLibrary(FamilyEntryPoints& entry, int32_t family) noexcept {
  switch (family) {
    case kLanticam: entry.lanticam.hLib = nullptr; break;
    case kTornio:   entry.tornio.hLib = nullptr; break;
    case kQd4:      entry.qd4.hLib = nullptr; break;
    default:        break;
  }
}
