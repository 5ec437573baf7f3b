// Exports never call an entry point whose slot is null (left by a partly failed second
// binding); the module code is linked directly so the slots can be set up by hand.
#include <windows.h>

#include "camera/registry.h"
#include "camera/camera_state.h"
#include "camera/sdk_families.h"
#include "module_host.h"
#include "vorlabview.h"
#include "wtest.h"

namespace {

int s_boxes = 0;
int WINAPI CountBox(HWND, LPCSTR, LPCSTR, UINT) {
  ++s_boxes;
  return IDOK;
}

ErrorCode WINAPI FreeSucceeds(void*, int32_t) { return 0; }

void* const kCam = reinterpret_cast<void*>(0x77);
uint8_t s_memory[64];

// A camera of `family` with buffer 0, whose event is signalled, and every slot null but
// one free slot of another family, so the module counts a library as bound.
HANDLE RegisterCameraWithBuffer(int32_t family) {
  BufferRegistry::Clear();
  EntryPoints() = FamilyEntryPoints{};
  EntryPoints().tornio.FREE_BUFFER = family == kTornio ? nullptr : &FreeSucceeds;
  if (family == kTornio) EntryPoints().lanticam.FREE_BUFFER = &FreeSucceeds;
  BufferRecord* registration = new BufferRecord;
  registration->hCam = kCam;
  registration->family = family;
  BufferRegistry::Add(registration);
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  BufferRecord* buffer = new BufferRecord{s_memory, 0, sizeof s_memory, event, kCam, family};
  MakeSignal(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event)), &buffer->signal);
  BufferRegistry::Add(buffer);
  return event;
}

}  // namespace

TEST_CASE(null_slots_give_option_not_available) {
  PatchImport(GetModuleHandleA(nullptr), "user32.dll", "MessageBoxA", reinterpret_cast<void*>(&CountBox), nullptr);
  for (int32_t family = 1; family <= 3; ++family) {
    WTEST_CONTEXT("family %d", family);
    HANDLE event = RegisterCameraWithBuffer(family);
    int16_t number = 0x7777;
    ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, VWaitForBuffers(kCam, &number, 0));
    ok_eq_int(0, number);
    ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, VFreeBuffer(kCam, 0));
    ok(BufferRegistry::FindBuffer(kCam, 0) == nullptr, "family %d: the buffer record stays", family);

    BufferRegistry::Add(new BufferRecord{s_memory, 1, sizeof s_memory, event, kCam, family});
    ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, Vcleanup(kCam));
    ok_eq_int(0, BufferRegistry::Count());

    RegisterCameraWithBuffer(family);
    s_boxes = 0;
    number = -1;
    uint32_t eventValue = 0;
    ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, VAllocateBuffer(kCam, &number, 64, 0, &eventValue));
    ok_eq_int(1, s_boxes);
    CloseHandle(event);
  }
  BufferRegistry::Clear();
  EntryPoints() = FamilyEntryPoints{};
}
