// Storage of FamilyEntryPoints.
#include "camera/sdk_families.h"

namespace {

// Every slot null at load.  Guarded by the camera lock.
FamilyEntryPoints s_entryPoints = {};

}  // namespace

FamilyEntryPoints& EntryPoints() noexcept { return s_entryPoints; }

HMODULE* FamilyLibrary(int32_t family) noexcept {
  switch (family) {
    case kLanticam: return &s_entryPoints.lanticam.hLib;
    case kTornio:   return &s_entryPoints.tornio.hLib;
    case kQd4:      return &s_entryPoints.qd4.hLib;
    default:        return nullptr;
  }
}
