// VInitLibrary and the family binders, through the real DLL and the stand-in SDKs.
#include <windows.h>

#include "module_host.h"
#include "wtest.h"

namespace {

void* Cam(uintptr_t value) { return reinterpret_cast<void*>(value); }

struct Family {
  int32_t value;
  const char* file;
  const char* allocateEntry;  // the entry point that a new buffer goes through
};
const Family kFamilies[] = {
    {1, kLanCam, "ALLOCATE_BUFFER_EX"},
    {2, kTnCam, "ALLOCATE_BUFFER"},
    {3, kQd4Cam, "VOR_AllocateBuffer"},
};


// A registered camera of a bound family gets a buffer from that family's SDK.
bool AllocatesThrough(ModuleHost& host, void* hCam, const Family& family) {
  int16_t number = -1;
  uint32_t event = 0;
  const uint32_t result = host.api.AllocateBuffer(hCam, &number, 4096, 0, &event);
  SimApi sim = host.Sim(family.file);
  return result == 0 && number == 0 && event != 0 && sim.valid() && sim.Calls(family.allocateEntry).size() == 1;
}

}  // namespace

TEST_CASE(exports_by_name_and_ordinal) {
  ModuleHost host("exports");
  if (!ok(host.Load(), "cannot load the DLL")) return;
  const char* names[] = {"VInitLibrary", "VAllocateBuffer", "VGetImageFromCamRam", "VGetImageFromBuffer",
                         "Vcleanup", "VGetErrorText", "VGetImageFromBuffer2D", "VGetImageExFromCamRam",
                         "VWaitForBuffers", "VFreeBuffer", "VInitPushFile", "VPushImageToFile",
                         "VClosePushFile", "SetLVRTModule", "VWaitForBuffersEx", "VReserve", "VUnreserve",
                         "VAbort", "VCancelWait", "VInitLibraryEx", "VGetCameraStats", "VGetState"};
  for (int ordinal = 1; ordinal <= 22; ++ordinal) {
    WTEST_CONTEXT("ordinal %d", ordinal);
    FARPROC byName = GetProcAddress(host.module(), names[ordinal - 1]);
    FARPROC byOrdinal = GetProcAddress(host.module(), MAKEINTRESOURCEA(ordinal));
    ok(byName != nullptr && byName == byOrdinal, "%s is not export %d", names[ordinal - 1], ordinal);
  }
  ok(GetProcAddress(host.module(), MAKEINTRESOURCEA(23)) == nullptr, "an export beyond ordinal 22");
}

TEST_CASE(version_resource_is_2_0_0_149) {
  ModuleHost host("version");
  const std::string path = host.PathOf("vorlabview.dll");
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (!ok(size > 0, "no version information")) return;
  std::vector<char> block(size);
  GetFileVersionInfoA(path.c_str(), 0, size, block.data());
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (ok(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length), "no fixed file info")) {
    ok_eq_hex(0x00020000, fixed->dwFileVersionMS);
    ok_eq_hex(0x00000095, fixed->dwFileVersionLS);
    ok_eq_hex(0x00020000, fixed->dwProductVersionMS);
    ok_eq_hex(0x00000095, fixed->dwProductVersionLS);
  }
  DWORD* translation = nullptr;
  if (ok(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) &&
             length >= 4,
         "no translation entry")) {
    const std::string query = wtest::Format("\\StringFileInfo\\%04x%04x\\ProductVersion", LOWORD(*translation),
                                            HIWORD(*translation));
    char* text = nullptr;
    if (ok(VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&text), &length),
           "no ProductVersion string under %s", query.c_str())) {
      ok_eq_str("2.0.0.149", text);
    }
  }
}

TEST_CASE(each_family_binds_from_the_module_folder) {
  for (const Family& family : kFamilies) {
    WTEST_CONTEXT("%s", family.file);
    ModuleHost host("bind_folder");
    host.AddStandIn(family.file);
    if (!ok(host.Load(), "cannot load the DLL")) return;
    ok_eq_hex(0, host.api.InitLibrary(Cam(0x1234), family.value));
    ok_eq_int(0, ModuleHost::Boxes().size());
    ok(host.IsLoaded(family.file), "%s not loaded from the module's folder", family.file);
    ok(AllocatesThrough(host, Cam(0x1234), family), "family %d camera is not registered with its family",
       family.value);
    ok_eq_hex(0, host.api.cleanup(Cam(0x1234)));
    ok(!host.IsLoaded(family.file), "%s still loaded after the camera's cleanup", family.file);
  }
}

TEST_CASE(bare_name_attempt_uses_the_search_path) {
  ModuleHost host("bind_search");
  const std::string elsewhere = MakeFreshFolder("bind_search_path");
  ok(ModuleHost::CopyStandIn(kTnCam, "full", elsewhere), "cannot copy the stand-in");
  if (!ok(host.Load(), "cannot load the DLL")) return;
  SetDllDirectoryA(elsewhere.c_str());
  ok_eq_hex(0, host.api.InitLibrary(Cam(0x42), 2));
  SetDllDirectoryA(nullptr);
  const std::string loadedFrom = elsewhere + "\\" + kTnCam;
  ok(GetModuleHandleA(loadedFrom.c_str()) != nullptr, "not loaded from the search path");
  ok_eq_int(0, ModuleHost::Boxes().size());
  ok_eq_hex(0, host.api.cleanup(Cam(0x42)));
  ok(GetModuleHandleA(loadedFrom.c_str()) == nullptr, "still loaded after cleanup");
  host.Unload();
  RemoveFolder(elsewhere);
}

TEST_CASE(missing_library_returns_load_error_and_shows_box) {
  for (const Family& family : kFamilies) {
    WTEST_CONTEXT("%s", family.file);
    ModuleHost host("bind_missing");
    if (!ok(host.Load(), "cannot load the DLL")) return;
    ok_eq_hex(ERROR_MOD_NOT_FOUND, host.api.InitLibrary(Cam(0x77), family.value));
    CheckOneErrorBox("can not load interface dll, error: 7e\n");
    // Not registered: a buffer request finds no camera.
    int16_t number = -1;
    uint32_t event = 0;
    ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, host.api.AllocateBuffer(Cam(0x77), &number, 64, 0, &event));
  }
}

TEST_CASE(other_family_values_register_without_a_library) {
  ModuleHost host("bind_family4");
  host.AddStandIn(kLanCam);
  if (!ok(host.Load(), "cannot load the DLL")) return;
  ok_eq_hex(0, host.api.InitLibrary(Cam(0x44), 4));
  ok_eq_hex(0, host.api.InitLibrary(Cam(0x45), 0));
  ok_eq_int(0, ModuleHost::Boxes().size());
  ok(!host.IsLoaded(kLanCam), "a library was loaded for family 4");
  int16_t number = -1;
  uint32_t event = 0x5555;
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, host.api.AllocateBuffer(Cam(0x44), &number, 64, 0, &event));
  ok_eq_int(-1, number);
  ok_eq_hex(0x5555, event);

  // With some library bound, a family-4 camera is told apart from an unknown one.
  ok_eq_hex(0, host.api.InitLibrary(Cam(0x46), 1));
  ok_eq_hex(0, host.api.FreeBuffer(Cam(0x44), 0));
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, host.api.FreeBuffer(Cam(0x99), 0));
  ok_eq_hex(0, host.api.cleanup(Cam(0x44)));
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, host.api.FreeBuffer(Cam(0x44), 0));
  ok(host.IsLoaded(kLanCam), "cleanup of a family-4 camera released the Lanticam library");
}

TEST_CASE(lanticam_or_tornio_entry_point_missing) {
  struct Variant { const char* file; const char* variant; int32_t family; };
  const Variant variants[] = {
      {kLanCam, "lan_no_map_buffer", 1},
      {kLanCam, "lan_no_getbuffer_status", 1},
      {kTnCam, "tn_no_setbuffer_event", 2},
      {kTnCam, "tn_no_map_buffer", 2},
  };
  for (const Variant& v : variants) {
    WTEST_CONTEXT("%s", v.variant);
    ModuleHost host("bind_variant");
    host.AddStandIn(v.file, v.variant);
    if (!ok(host.Load(), "cannot load the DLL")) return;
    ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, host.api.InitLibrary(Cam(0x10), v.family));
    CheckOneErrorBox("can not load interface dll, error: 800a3004\n");
    ok(host.IsLoaded(v.file), "%s: the library was released", v.variant);
    int16_t number = -1;
    uint32_t event = 0;
    ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, host.api.AllocateBuffer(Cam(0x10), &number, 64, 0, &event));
    SimApi sim = host.Sim(v.file);
    ok(sim.valid() && sim.Trace().empty(), "%s: an SDK function was called", v.variant);
  }
}

TEST_CASE(qd4_entry_point_missing_releases_the_library) {
  struct Variant { const char* variant; uint32_t result; const char* box; };
  const Variant variants[] = {
      {"qd4_no_allocate_buffer", VOR_ERR_QD4_ALLOCATE_MISSING, "can not load interface dll, error: fffffc19\n"},
      {"qd4_no_get_buffer", VOR_ERR_QD4_ENTRY_MISSING, "can not load interface dll, error: fffffc1a\n"},
      {"qd4_no_allocate_and_get_buffer", VOR_ERR_QD4_ENTRY_MISSING, "can not load interface dll, error: fffffc1a\n"},
  };
  for (const Variant& v : variants) {
    WTEST_CONTEXT("%s", v.variant);
    ModuleHost host("bind_qd4");
    host.AddStandIn(kQd4Cam, v.variant);
    if (!ok(host.Load(), "cannot load the DLL")) return;
    ok_eq_hex(v.result, host.api.InitLibrary(Cam(0x30), 3));
    CheckOneErrorBox(v.box);
    ok(!host.IsLoaded(kQd4Cam), "%s: the library stays loaded", v.variant);
    int16_t number = -1;
    uint32_t event = 0;
    ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, host.api.AllocateBuffer(Cam(0x30), &number, 64, 0, &event));
  }
}

TEST_CASE(second_init_registers_again_and_loads_again) {
  ModuleHost host("bind_twice");
  host.AddStandIn(kLanCam);
  if (!ok(host.Load(), "cannot load the DLL")) return;
  ok_eq_hex(0, host.api.InitLibrary(Cam(0x5), 1));
  ok_eq_hex(0, host.api.InitLibrary(Cam(0x5), 1));
  // One cleanup removes both registrations but releases the library once: it stays loaded.
  ok_eq_hex(0, host.api.cleanup(Cam(0x5)));
  ok(host.IsLoaded(kLanCam), "library unloaded although loaded twice");
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, host.api.cleanup(Cam(0x5)));
}

TEST_CASE(newest_registration_and_other_groups) {
  ModuleHost host("bind_groups");
  host.AddStandIn(kLanCam);
  host.AddStandIn(kTnCam);
  host.AddStandIn(kQd4Cam);
  if (!ok(host.Load(), "cannot load the DLL")) return;
  // Binding Tornio after Lanticam leaves the Lanticam camera working.
  ok_eq_hex(0, host.api.InitLibrary(Cam(0xA), 1));
  ok_eq_hex(0, host.api.InitLibrary(Cam(0xB), 2));
  ok(AllocatesThrough(host, Cam(0xA), kFamilies[0]), "Lanticam camera broken by the Tornio binding");
  ok(AllocatesThrough(host, Cam(0xB), kFamilies[1]), "Tornio camera not bound");
  // The same handle registered again with family 3: QD4 now serves it.
  ok_eq_hex(0, host.api.InitLibrary(Cam(0xA), 3));
  ok(AllocatesThrough(host, Cam(0xA), kFamilies[2]), "the newest registration does not decide");
  ok_eq_int(0, ModuleHost::Boxes().size());
}
