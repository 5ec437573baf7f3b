// The binders' and VInitLibrary's log lines, with the module code linked into this program.
//
// Linked into an executable, the module's own file is this program, so a family library is
// found by base name through the DLL directory that each case sets.
#include <windows.h>

#include "camera/binding.h"
#include "log_entries.h"
#include "log_fixture.h"
#include "module_host.h"
#include "vorlabview.h"
#include "wtest.h"

namespace {

int s_boxes = 0;
int WINAPI CountBox(HWND, LPCSTR, LPCSTR, UINT) {
  ++s_boxes;
  return IDOK;
}

struct Expected {
  uint32_t code;
  const char* text;
};

void CheckEntries(const std::string& path, const std::vector<Expected>& expected) {
  const std::vector<LogEntry> entries = ParseLogEntries(ReadWholeFile(path));
  if (!ok_eq_int(expected.size(), entries.size())) return;
  for (size_t i = 0; i < entries.size(); ++i) {
    ok(entries[i].wellFormed, "entry %u has no closing empty line", static_cast<unsigned>(i));
    ok_eq_hex(expected[i].code, entries[i].code);
    ok_eq_int(expected[i].code != 0, entries[i].hasError);
    ok_eq_str(expected[i].text, entries[i].text);
  }
}

// Runs VInitLibrary with the DLL directory on the build's `variant` folder of stand-ins.
uint32_t InitFrom(const char* variant, void* hCam, int32_t family) {
  SetDllDirectoryA(wtest::Format("%s/%s", VORLAB_SIM_DIR, variant).c_str());
  const uint32_t result = VInitLibrary(hCam, family);
  SetDllDirectoryA(nullptr);
  return result;
}

struct BoxCounter {
  BoxCounter() {
    PatchImport(GetModuleHandleA(nullptr), "user32.dll", "MessageBoxA", reinterpret_cast<void*>(&CountBox), nullptr);
    s_boxes = 0;
  }
};

}  // namespace

TEST_CASE(load_error_lines) {
  BoxCounter boxes;
  const std::string path = AttachLog("load_error.log", 1);
  ok_eq_hex(ERROR_MOD_NOT_FOUND, InitFrom("none", reinterpret_cast<void*>(0xABCDEF12345ull), 1));
  ok_eq_hex(ERROR_MOD_NOT_FOUND, InitFrom("none", reinterpret_cast<void*>(0x2), 2));
  ok_eq_hex(ERROR_MOD_NOT_FOUND, InitFrom("none", reinterpret_cast<void*>(0x3), 3));
  DetachLog();
  ok_eq_int(3, s_boxes);
  // The handle prints as its low 32 bits; the load error in decimal with code 0xA3000.
  CheckEntries(path, {{0xA3000, "getLanticam error 126\r\n"},
                      {126, "VInitLibrary done hCam def12345 type 1\r\n"},
                      {0xA3000, "getTornio error 126\r\n"},
                      {126, "VInitLibrary done hCam 2 type 2\r\n"},
                      {0xA3000, "getQD4 error 126\r\n"},
                      {126, "VInitLibrary done hCam 3 type 3\r\n"}});
}

TEST_CASE(ready_lines_of_each_binder) {
  BoxCounter boxes;
  const std::string path = AttachLog("ready.log", 1);
  ok_eq_hex(0, InitFrom("full", reinterpret_cast<void*>(0x11), 1));
  ok_eq_hex(0, InitFrom("full", reinterpret_cast<void*>(0x22), 2));
  ok_eq_hex(VOR_ERR_QD4_ALLOCATE_MISSING, InitFrom("qd4_no_allocate_buffer", reinterpret_cast<void*>(0x33), 3));
  ok_eq_hex(VOR_ERR_QD4_ENTRY_MISSING, InitFrom("qd4_no_get_buffer", reinterpret_cast<void*>(0x34), 3));
  ok_eq_hex(0, InitFrom("full", reinterpret_cast<void*>(0x44), 4));
  DetachLog();
  ok_eq_int(2, s_boxes);
  CheckEntries(path, {{0, "getLanticam getting functions\r\n"},
                      {0, "getLanticam getting functions ready 0\r\n"},
                      {0, "VInitLibrary done hCam 11 type 1\r\n"},
                      {0, "getTornio getting functions ready 0\r\n"},
                      {0, "VInitLibrary done hCam 22 type 2\r\n"},
                      {0, "getQD4 getting functions ready -999\r\n"},
                      {VOR_ERR_QD4_ALLOCATE_MISSING, "VInitLibrary done hCam 33 type 3\r\n"},
                      {0, "getQD4 getting functions ready -998\r\n"},
                      {VOR_ERR_QD4_ENTRY_MISSING, "VInitLibrary done hCam 34 type 3\r\n"},
                      {0, "VInitLibrary done hCam 44 type 4\r\n"}});
}

TEST_CASE(missing_lanticam_entry_point_logs_no_binder_line) {
  BoxCounter boxes;
  const std::string path = AttachLog("missing.log", 1);
  // A Tornio library without SETBUFFER_EVENT: no binder line, only VInitLibrary's.  The
  // full library an earlier case bound would be found by its base name first: drop it.
  while (HMODULE loaded = GetModuleHandleA("Tn_Cam.dll")) FreeLibrary(loaded);
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, InitFrom("tn_no_setbuffer_event", reinterpret_cast<void*>(0x55), 2));
  DetachLog();
  ok_eq_int(1, s_boxes);
  CheckEntries(path, {{VOR_ERR_OPTION_NOT_AVAILABLE, "VInitLibrary done hCam 55 type 2\r\n"}});
}
