// VGetErrorText through the real DLL, with this program as the LabVIEW host: it exports
// "gLVRTVersion" and a DSSetHandleSize that really resizes its handles.
#include <windows.h>
#include <stdio.h>

#include <map>

#include "lv_memory.h"
#include "module_host.h"
#include "wtest.h"

namespace {

std::string TextOf(VLVStringHandle handle) { return std::string((*handle)->str, (*handle)->cnt); }

// Asks the module for the code's text; checks the resize and returns the text.
std::string Ask(ModuleHost& host, uint32_t code) {
  VLVStringHandle handle = LvNewString("previous contents");
  LvResetCalls();
  const uint32_t result = host.api.GetErrorText(code, handle);
  ok_eq_hex(0, result);
  const LvMemoryCalls calls = LvCalls();
  const std::string text = TextOf(handle);
  ok(calls.count == 1 && calls.lastHandle == handle && calls.lastSize == text.size() + 5,
     "code 0x%x: resized %ld times, to %u bytes, for %u characters", code, calls.count,
     static_cast<unsigned>(calls.lastSize), static_cast<unsigned>(text.size()));
  ok(LvBlockSize(handle) >= text.size() + 5, "block smaller than the count and text");
  LvDisposeHandle(handle);
  return text;
}

std::string StandIn(const char* name) { return wtest::Format("%s\\%s", ExeFolder().c_str(), name); }

// Runs lv_child with a scenario; returns its exit code and fills `record`.
DWORD RunChild(const char* program, const char* scenario, std::map<std::string, std::string>& record) {
  const std::string recordPath = MakeFreshFolder("lv_record") + "\\record.txt";
  std::string command = wtest::Format("\"%s\\%s\" %s \"%s\" \"%s\" \"%s\"", ExeFolder().c_str(), program, scenario,
                                      recordPath.c_str(), StandIn("lvrt.dll").c_str(), StandIn("lvffrt.dll").c_str());
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!ok(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process),
          "cannot start %s: %lu", program, GetLastError())) {
    return 0xFFFFFFFF;
  }
  ok(WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0, "%s %s did not end", program, scenario);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  const std::string text = ReadWholeFile(recordPath);
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    const size_t equals = line.find('=');
    if (equals != std::string::npos) record[line.substr(0, equals)] = line.substr(equals + 1);
    at = end + 1;
  }
  return exitCode;
}

}  // namespace

TEST_CASE(texts_of_the_documented_codes) {
  ModuleHost host("error_text");
  if (!ok(host.Load(), "cannot load the DLL")) return;
  struct Example { uint32_t code; const char* text; };
  const Example examples[] = {
      {0x00000000, "OK."},
      {0x800A3000, "OK."},
      {VOR_ERR_OPTION_NOT_AVAILABLE, "SDK DLL error 800a3004 at device 'camera sdk dll': Option is not available."},
      {VOR_ERR_BUFFER_NOT_FILLED, "SDK DLL error 800a300b at device 'camera sdk dll': A requested buffer is not available."},
      {VOR_ERR_BUFFER_NOT_REGISTERED, "SDK DLL error a00a3003 at device 'camera sdk dll': No memory available."},
      {VOR_ERR_TIMEOUT, "SDK DLL error a00a3005 at device 'camera sdk dll': Timeout in function."},
      {VOR_ERR_WRONG_PARAMETER, "SDK DLL error a00a3001 at device 'camera sdk dll': Function call with wrong parameter."},
      {VOR_ERR_BUFFER_TOO_SMALL, "SDK DLL error a00a3006 at device 'camera sdk dll': A buffer is to small."},
      {0xC0001001, "Firmware warning c0001001 at device 'Unknown device': Function is already on."},
      {0x80031080, "Firmware error 80031080 at device 'QD4 Main uP': Access denied. Debugging? See vor_err.h!"},
      {0x40002001, "Driver warning 40002001 at device 'Unknown device': Error code out of range."},
      {0x800020A0, "Driver error 800020a0 at device 'Unknown device': Error code out of range."},
      {0x80001013, "Firmware error 80001013 at device 'Unknown device': Error while reading from camera."},
      {0x80005001, "Undefined layer error 80005001 at device 'Unknown device': No error text available!"},
      {0xA0005001, "Undefined layer error a0005001 at device 'Unknown device': Function call with wrong parameter."},
      {0xA000300C, "SDK DLL error a000300c at device 'Unknown device': "},
      {0x80001007, "Firmware error 80001007 at device 'Unknown device': "},
      {0x00003004, "SDK DLL error 3004 at device 'Unknown device': Option is not available."},
      {126, "Undefined layer error 7e at device 'Unknown device': No error text available!"},
      {VOR_ERR_QD4_ALLOCATE_MISSING, "Undefined layer warning fffffc19 at device 'Unknown device': Error code out of range."},
      {0x9F0A3004, "SDK DLL error 9f0a3004 at device 'camera sdk dll': Option is not available."},
      {0x80213001, "SDK DLL error 80213001 at device 'Unknown device': wSize of an embedded buffer is to small."},
      {0x80212010, "Driver error 80212010 at device 'Lanticam driver': Buffer was cancelled."},
      {0xC0104002, "Application warning c0104002 at device 'Kesta': Settings have been adapted to valid values."},
  };
  for (const Example& e : examples) ok_eq_str(e.text, Ask(host, e.code));
  ok_eq_int(75, Ask(host, VOR_ERR_OPTION_NOT_AVAILABLE).size());
}

TEST_CASE(refusals_write_nothing) {
  ModuleHost host("error_text_refuse");
  if (!ok(host.Load(), "cannot load the DLL")) return;
  LvResetCalls();
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, host.api.GetErrorText(VOR_ERR_OPTION_NOT_AVAILABLE, nullptr));
  ok_eq_int(0, LvCalls().count);

  VLVStringHandle handle = LvNewString("kept");
  LvFailResize(true);
  ok_eq_hex(VOR_ERR_BUFFER_NOT_REGISTERED, host.api.GetErrorText(VOR_ERR_OPTION_NOT_AVAILABLE, handle));
  LvFailResize(false);
  ok_eq_int(1, LvCalls().count);
  ok_eq_str("kept", TextOf(handle));
  LvDisposeHandle(handle);
}

TEST_CASE(named_module_takes_precedence_over_the_host) {
  ModuleHost host("error_text_named");
  if (!ok(host.Load(), "cannot load the DLL")) return;
  HMODULE lvffrt = LoadLibraryA(StandIn("lvffrt.dll").c_str());
  typedef LONG (*CallsServedFn)();
  auto served = reinterpret_cast<CallsServedFn>(reinterpret_cast<void*>(GetProcAddress(lvffrt, "StandInCallsServed")));
  if (!ok(served != nullptr, "no lvffrt stand-in")) return;
  const LONG before = served();
  host.api.SetLVRTModule(lvffrt);
  // A handle of this host's memory manager: once the host is named again, its check knows it.
  VLVStringHandle text = LvNewString("");
  LvResetCalls();
  ok_eq_hex(0, host.api.GetErrorText(VOR_ERR_OPTION_NOT_AVAILABLE, text));
  ok_eq_int(before + 1, served());
  ok_eq_int(0, LvCalls().count);
  // Once bound, naming another module changes nothing.
  host.api.SetLVRTModule(GetModuleHandleA(nullptr));
  ok_eq_hex(0, host.api.GetErrorText(5, text));
  ok_eq_int(before + 2, served());
  ok_eq_int(0, LvCalls().count);
  LvDisposeHandle(text);
  host.Unload();
  FreeLibrary(lvffrt);
}

TEST_CASE(no_runtime_is_fatal_after_other_exports_worked) {
  std::map<std::string, std::string> record;
  ok_eq_int(1, RunChild("lv_child.exe", "none", record));
  ok_eq_str("0", record["init"]);
  ok_eq_str("LABVIEW.LIB was not called from a LabVIEW process.", record["box1.text"]);
  ok_eq_str("Fatal Error", record["box1.caption"]);
  ok_eq_str("0x2010", record["box1.style"]);
  ok_eq_str("null", record["box1.owner"]);
  ok(record.count("text") == 0 && record.count("end") == 0, "the call returned after the fatal box");
  // The process ends with the camera still registered: the unload warns.
  ok_eq_str("vorgeneric", record["box2.caption"]);
}

TEST_CASE(state_report_without_a_runtime_fails_without_ending_the_process) {
  std::map<std::string, std::string> record;
  ok_eq_int(0, RunChild("lv_child.exe", "state", record));
  ok_eq_str("a00a3003", record["state"]);
  ok_eq_str("reached", record["end"]);
  const bool boxShown = record.count("box1.text") != 0;
  ok(!boxShown, "a box was shown: %s", boxShown ? record["box1.text"].c_str() : "");
}

TEST_CASE(named_module_without_the_function_is_fatal) {
  std::map<std::string, std::string> record;
  ok_eq_int(1, RunChild("lv_child.exe", "set_missing", record));
  ok_eq_str("LABVIEW.LIB could not locate \"DSSetHandleSize\".", record["box1.text"]);
  ok_eq_str("Fatal Error", record["box1.caption"]);
  ok_eq_str("0x2010", record["box1.style"]);
}

TEST_CASE(host_marked_only_by_AZNewHandle) {
  std::map<std::string, std::string> record;
  ok_eq_int(0, RunChild("lv_child_az.exe", "az", record));
  ok_eq_str("0:SDK DLL error 800a3004 at device 'camera sdk dll': Option is not available.", record["text"]);
  ok(record.count("box1.text") == 0, "a box was shown");
}

TEST_CASE(loaded_runtime_libraries_lvrt_first) {
  std::map<std::string, std::string> record;
  ok_eq_int(0, RunChild("lv_child.exe", "lvrt_and_lvffrt", record));
  ok_eq_str("0:SDK DLL error 800a3004 at device 'camera sdk dll': Option is not available.", record["text"]);
  ok_eq_str("1", record["lvrt.served"]);
  ok_eq_str("0", record["lvffrt.served"]);
  record.clear();
  ok_eq_int(0, RunChild("lv_child.exe", "lvffrt", record));
  ok_eq_str("1", record["lvffrt.served"]);
  record.clear();
  ok_eq_int(0, RunChild("lv_child.exe", "set_null_restores_search", record));
  ok_eq_str("1", record["lvrt.served"]);
}
