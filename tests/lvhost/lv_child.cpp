// A child process for the run-time binding's scenarios that end the process or need a host
// executable of another kind.  Usage: lv_child <scenario> <record file> <lvrt.dll> <lvffrt.dll>
// It writes "key=value" lines into the record file as it goes, so the parent can read them
// even when the module ends the process.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "module_host.h"
#include "wtest.h"

namespace {

FILE* s_record = nullptr;

void Record(const char* key, const std::string& value) {
  fprintf(s_record, "%s=%s\n", key, value.c_str());
  fflush(s_record);
}

// Boxes are recorded as box1, box2, ... in the order shown.
int WINAPI RecordFatalBox(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
  static int shown = 0;
  const std::string box = wtest::Format("box%d.", ++shown);
  Record((box + "owner").c_str(), owner == nullptr ? "null" : "window");
  Record((box + "text").c_str(), text);
  Record((box + "caption").c_str(), caption);
  Record((box + "style").c_str(), wtest::Format("0x%x", style));
  return IDOK;
}

typedef LONG (*CallsServedFn)();
long Served(HMODULE module) {
  auto served = reinterpret_cast<CallsServedFn>(reinterpret_cast<void*>(GetProcAddress(module, "StandInCallsServed")));
  return served ? served() : -1;
}

// Asks for a text and records what came back.
void AskForText(ModuleHost& host, uint32_t code, const char* key) {
  VLVStringPtr block = static_cast<VLVStringPtr>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 8));
  VLVStringHandle text = &block;
  const uint32_t result = host.api.GetErrorText(code, text);
  Record(key, wtest::Format("%x:%.*s", result, (*text)->cnt, (*text)->str));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return 2;
  const std::string scenario = argv[1];
  s_record = fopen(argv[2], "wb");
  if (s_record == nullptr) return 3;
  ModuleHost host("lv_child");
  if (!host.Load()) return 4;
  PatchImport(host.module(), "user32.dll", "MessageBoxA", reinterpret_cast<void*>(&RecordFatalBox), nullptr);

  if (scenario == "none") {
    // Every export but the text service works without a run-time.
    Record("init", wtest::Format("%x", host.api.InitLibrary(reinterpret_cast<void*>(1), 4)));
    AskForText(host, VOR_ERR_OPTION_NOT_AVAILABLE, "text");
  } else if (scenario == "state") {
    // The state report needs the run-time to size its string: without one it fails, no more.
    VLVStringPtr block = static_cast<VLVStringPtr>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 8));
    Record("state", wtest::Format("%x", host.api.GetState(&block)));
  } else if (scenario == "az") {
    AskForText(host, VOR_ERR_OPTION_NOT_AVAILABLE, "text");
  } else if (scenario == "lvrt_and_lvffrt" || scenario == "lvffrt") {
    HMODULE lvffrt = LoadLibraryA(argv[4]);
    HMODULE lvrt = scenario == "lvffrt" ? nullptr : LoadLibraryA(argv[3]);
    AskForText(host, VOR_ERR_OPTION_NOT_AVAILABLE, "text");
    Record("lvrt.served", wtest::Format("%ld", lvrt ? Served(lvrt) : 0));
    Record("lvffrt.served", wtest::Format("%ld", Served(lvffrt)));
  } else if (scenario == "set_missing") {
    host.api.SetLVRTModule(GetModuleHandleA("kernel32.dll"));
    AskForText(host, VOR_ERR_OPTION_NOT_AVAILABLE, "text");
  } else if (scenario == "set_null_restores_search") {
    HMODULE lvrt = LoadLibraryA(argv[3]);
    host.api.SetLVRTModule(GetModuleHandleA("kernel32.dll"));
    host.api.SetLVRTModule(nullptr);
    AskForText(host, VOR_ERR_OPTION_NOT_AVAILABLE, "text");
    Record("lvrt.served", wtest::Format("%ld", Served(lvrt)));
  }
  Record("end", "reached");
  fclose(s_record);
  return 0;
}
