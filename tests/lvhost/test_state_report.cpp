// The state report with this program as the LabVIEW host: what it says of the module, the
// bound libraries, each camera and the recording, before and after a cleanup, an abort and a
// recording.
#include <windows.h>

#include <string>

#include "camera_rig.h"
#include "lv_memory.h"

namespace {

std::string State(const ModuleApi& api) {
  VLVStringHandle text = LvNewString("previous");
  const uint32_t result = api.GetState(text);
  ok_eq_hex(0, result);
  std::string report((*text)->str, static_cast<size_t>((*text)->cnt));
  LvDisposeHandle(text);
  return report;
}

bool Has(const std::string& report, const std::string& line) {
  return ok(report.find(line + "\r\n") != std::string::npos, "no line \"%s\" in:\n%s", line.c_str(), report.c_str());
}

bool Lacks(const std::string& report, const std::string& part) {
  return ok(report.find(part) == std::string::npos, "\"%s\" is in:\n%s", part.c_str(), report.c_str());
}

std::string CameraLine(uintptr_t hCam, const char* family, int buffers, int bytes, int waits, const char* stopKept,
                       const char* tied, int frames, int timeouts, int starved) {
  return wtest::Format("camera 0x%llX: %s, %d buffers of %d bytes, %d waits in progress, stop kept: %s, "
                       "tied to a node: %s, frames %d, time-outs %d, starved %d",
                       static_cast<unsigned long long>(hCam), family, buffers, bytes, waits, stopKept, tied, frames,
                       timeouts, starved);
}

struct WaitCall {
  const ModuleApi* api;
  void* hCam;
  uint32_t result;
};

DWORD WINAPI WaitLong(void* argument) {
  WaitCall& call = *static_cast<WaitCall*>(argument);
  int16_t number = -1;
  call.result = call.api->WaitForBuffersEx(call.hCam, &number, 10000, nullptr, nullptr);
  return 0;
}

}  // namespace

TEST_CASE(report_of_module_libraries_cameras_and_recording) {
  CameraRig rig("state_report");
  rig.host.AddStandIn("VOR_File.dll");
  if (!rig.loaded) return;
  const ModuleApi& api = rig.host.api;

  std::string report = State(api);
  Has(report, "module: 2.0.0.149 " + rig.host.PathOf("vorlabview.dll"));
  Has(report, "log: off");
  Has(report, "message boxes: shown");
  Has(report, "Lanticam library: not bound");
  Has(report, "QD4 library: not bound");
  Has(report, "cameras: 0");
  Has(report, "recording: none");

  // Two cameras, one with buffers, a frame, a time-out, a kept stop and a wait in progress.
  if (!rig.Init(Cam(0x4A1), 1) || !rig.Init(Cam(0x4A2), 3)) return;
  rig.NewBuffer(Cam(0x4A1), 1000);
  rig.NewBuffer(Cam(0x4A1), 3000);
  rig.Sim(1).FillBuffer(Cam(0x4A1), 0, 7, 1);
  int16_t number = -1;
  int32_t pending = -1;
  ok_eq_hex(0, api.WaitForBuffersEx(Cam(0x4A1), &number, 1000, &pending, nullptr));
  ok_eq_hex(VOR_ERR_TIMEOUT, api.WaitForBuffersEx(Cam(0x4A1), &number, 0, nullptr, nullptr));
  ok_eq_hex(0, api.CancelWait(Cam(0x4A1)));
  rig.NewBuffer(Cam(0x4A2), 64 * 48 * 2);
  WaitCall waiting = {&api, Cam(0x4A2), 0};
  HANDLE thread = CreateThread(nullptr, 0, WaitLong, &waiting, 0, nullptr);
  for (int i = 0; i < 500 && State(api).find("1 waits in progress") == std::string::npos; ++i) Sleep(2);

  report = State(api);
  Has(report, "Lanticam library: " + rig.host.PathOf("Lan_Cam.dll"));
  Has(report, "Tornio library: not bound");
  Has(report, "QD4 library: " + rig.host.PathOf("QD4_Cam.dll"));
  Has(report, "cameras: 2");
  Has(report, CameraLine(0x4A1, "Lanticam", 2, 4000, 0, "yes", "no", 1, 1, 0));
  Has(report, CameraLine(0x4A2, "QD4", 1, 64 * 48 * 2, 1, "no", "no", 0, 0, 0));

  ok_eq_hex(0, api.CancelWait(Cam(0x4A2)));
  WaitForSingleObject(thread, 10000);
  CloseHandle(thread);
  ok_eq_hex(VOR_ERR_WAIT_CANCELLED, waiting.result);

  // A recording names its camera, file and pages.
  ok_eq_hex(0, api.InitPushFile(Cam(0x4A2), "state_run", 64, 48, 12, 0, 10));
  ok_eq_hex(0, api.PushImageToFile(Cam(0x4A2), 0));
  ok_eq_hex(0, api.PushImageToFile(Cam(0x4A2), 0));
  Has(State(api), "recording: camera 0x4A2, file " + rig.host.PathOf("state_run.tif") + ", 2 pages");
  ok_eq_hex(0, api.ClosePushFile(Cam(0x4A2)));
  Has(State(api), "recording: none");

  // A cleanup takes the camera, and the family's library with its last camera.
  ok_eq_hex(0, api.cleanup(Cam(0x4A1)));
  report = State(api);
  Has(report, "cameras: 1");
  Has(report, "Lanticam library: not bound");
  Lacks(report, "camera 0x4A1:");
  ok_eq_hex(0, api.cleanup(Cam(0x4A2)));
  report = State(api);
  Has(report, "cameras: 0");
  Has(report, "QD4 library: not bound");
}

TEST_CASE(report_after_an_abort) {
  CameraRig rig("state_report_abort");
  rig.host.AddStandIn("VOR_File.dll");
  if (!rig.loaded) return;
  const ModuleApi& api = rig.host.api;
  void* cell = nullptr;
  ok_eq_int(0, api.Reserve(&cell));
  ok_eq_hex(0, api.InitLibraryEx(Cam(0x4B1), 2, &cell));
  rig.NewBuffer(Cam(0x4B1), 64 * 48);
  ok_eq_hex(0, api.InitPushFile(Cam(0x4B1), "aborted_run", 64, 48, 8, 0, 10));
  std::string report = State(api);
  Has(report, CameraLine(0x4B1, "Tornio", 1, 64 * 48, 0, "no", "yes", 0, 0, 0));
  Has(report, "recording: camera 0x4B1, file " + rig.host.PathOf("aborted_run.tif") + ", 0 pages");

  // Abort, then Unreserve, as LabVIEW ends an aborted VI: nothing of the camera is left.
  ok_eq_int(0, api.Abort(&cell));
  ok_eq_int(0, api.Unreserve(&cell));
  report = State(api);
  Has(report, "cameras: 0");
  Has(report, "recording: none");
  Has(report, "Tornio library: not bound");
}

TEST_CASE(report_refuses_and_fails_cleanly) {
  CameraRig rig("state_report_refuse");
  if (!rig.loaded) return;
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, rig.host.api.GetState(nullptr));
  // A string the run-time cannot resize keeps what it held.
  VLVStringHandle text = LvNewString("kept");
  LvFailResize(true);
  ok_eq_hex(VOR_ERR_BUFFER_NOT_REGISTERED, rig.host.api.GetState(text));
  LvFailResize(false);
  ok_eq_str("kept", std::string((*text)->str, static_cast<size_t>((*text)->cnt)));
  LvDisposeHandle(text);
}
