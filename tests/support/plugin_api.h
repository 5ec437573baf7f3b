// The stand-in file plug-in's test interface, resolved from the copy the module loaded.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "vor_file_control.h"

struct PluginApi {
  VorFileSimTraceCountFn TraceCount = nullptr;
  VorFileSimTraceLineFn TraceLine = nullptr;
  VorFileSimTraceClearFn TraceClear = nullptr;
  VorFileSimOpenInfoFn OpenInfo = nullptr;
  VorFileSimPushInfoFn PushInfo = nullptr;
  VorFileSimFailOpenFn FailOpen = nullptr;
  VorFileSimFailPushFn FailPush = nullptr;
  VorFileSimSetDelayFn SetDelay = nullptr;
  VorFileSimCallsEnteredFn CallsEntered = nullptr;
  VorFileSimCallsReturnedFn CallsReturned = nullptr;

  // Resolves from the plug-in at `path`, loading it (and keeping it loaded) when the module
  // has not yet.
  bool Bind(const std::string& path) {
    HMODULE module = GetModuleHandleA(path.c_str());
    if (module == nullptr) module = LoadLibraryA(path.c_str());
    Resolve(module, "VOR_File_SimTraceCount", TraceCount);
    Resolve(module, "VOR_File_SimTraceLine", TraceLine);
    Resolve(module, "VOR_File_SimTraceClear", TraceClear);
    Resolve(module, "VOR_File_SimOpenInfo", OpenInfo);
    Resolve(module, "VOR_File_SimPushInfo", PushInfo);
    Resolve(module, "VOR_File_SimFailOpen", FailOpen);
    Resolve(module, "VOR_File_SimFailPush", FailPush);
    Resolve(module, "VOR_File_SimSetDelay", SetDelay);
    Resolve(module, "VOR_File_SimCallsEntered", CallsEntered);
    Resolve(module, "VOR_File_SimCallsReturned", CallsReturned);
    return TraceLine != nullptr && OpenInfo != nullptr && FailOpen != nullptr && SetDelay != nullptr;
  }

  std::vector<std::string> Trace() const {
    std::vector<std::string> lines;
    char line[1024];
    for (int32_t i = 0; i < TraceCount(); ++i) {
      if (TraceLine(i, line, sizeof line) >= 0) lines.push_back(line);
    }
    return lines;
  }

 private:
  template <typename Fn>
  static void Resolve(HMODULE module, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  }
};
