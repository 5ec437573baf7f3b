// Faults around the module: a log folder that cannot be made, a log file held by another
// program, SDK calls that fail at random, and an unload while the writer thread is busy.
#include <windows.h>

#include <set>

#include "camera_rig.h"
#include "log_entries.h"
#include "log_folder.h"
#include "lv_array.h"

namespace {

std::string Entry(uintptr_t hCam) {
  return wtest::Format("\r\nVInitLibrary done hCam %x type 4\r\n\r\n", static_cast<unsigned>(hCam));
}

// Every export of a family-4 camera and a Tornio camera, with their rule-given results.
void ExportsStillWork(ModuleHost& host) {
  ok_eq_hex(0, host.api.InitLibrary(Cam(0x61), 4));
  int16_t number = -1;
  uint32_t event = 0;
  ok_eq_hex(0x800A3004, host.api.AllocateBuffer(Cam(0x61), &number, 64, 0, &event));
  ok_eq_hex(0x800A3004, host.api.AllocateBuffer(Cam(0x62), &number, 64, 0, &event));
}

}  // namespace

TEST_CASE(log_folder_that_cannot_be_made) {
  // A file where the folder should be: no folder, no ini, no log, no info file.
  const std::string folder = LogFolder();
  RemoveFolder(folder.substr(0, folder.size() - 1));
  ok(WriteWholeFile(folder.substr(0, folder.size() - 1), "not a folder"), "cannot put a file in the folder's place");
  {
    ModuleHost host("fault_folder");
    if (ok(host.Load(), "cannot load the DLL")) ExportsStillWork(host);
  }
  ok_eq_str("not a folder", ReadWholeFile(folder.substr(0, folder.size() - 1)));
  DeleteFileA(folder.substr(0, folder.size() - 1).c_str());

  // A missing folder is made, and the info file dropped into it.
  {
    ModuleHost host("fault_missing");
    if (ok(host.Load(), "cannot load the DLL")) ExportsStillWork(host);
  }
  ok(GetFileAttributesA(InFolder("vorlabview.txt").c_str()) != INVALID_FILE_ATTRIBUTES, "no info file in a new folder");
}

TEST_CASE(log_file_held_by_another_program_counts_as_absent) {
  PrepareFolder({{"vorlabview.log", "held\r\n"}});
  HANDLE held = CreateFileA(InFolder("vorlabview.log").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!ok(held != INVALID_HANDLE_VALUE, "cannot hold the log file")) return;
  {
    ModuleHost host("fault_locked");
    if (ok(host.Load(), "cannot load the DLL")) ExportsStillWork(host);
  }
  CloseHandle(held);
  ok_eq_str("held\r\n", ReadWholeFile(InFolder("vorlabview.log")));
  ok(GetFileAttributesA(InFolder("vorlabview.txt").c_str()) != INVALID_FILE_ATTRIBUTES, "no info file");
}

TEST_CASE(sdk_calls_failing_at_random) {
  PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", "flush=1\r\n"}});
  CameraRig rig("fault_random");
  if (!rig.loaded) return;
  const char* entries[3][4] = {
      {"ALLOCATE_BUFFER_EX", "MAP_BUFFER", "FREE_BUFFER", "GETBUFFER_STATUS"},
      {"ALLOCATE_BUFFER", "SETBUFFER_EVENT", "FREE_BUFFER", "GETBUFFER_STATUS"},
      {"VOR_AllocateBuffer", "VOR_FreeBuffer", "VOR_GetBufferStatus", "VOR_GetImage"},
  };
  // The module's own codes, and the stand-in's own refusals, which pass through unchanged.
  const std::set<uint32_t> moduleCodes = {0, 0x800A3004, 0xA00A3003, 0xA00A3005, 0x800A300B, 0xA00A3006,
                                          SIM_ERR_BAD_ARG, SIM_ERR_NO_BUFFER, SIM_ERR_NO_MEMORY};
  uint32_t state = 12345;
  auto next = [&] { state = state * 1103515245u + 12345u; return state >> 8; };
  LvArray array({64}, 2);
  long unexpected = 0, calls = 0;
  for (int32_t family = 1; family <= 3; ++family) {
    void* cam = Cam(0x700 + family);
    if (!rig.Init(cam, family)) continue;
    SimApi sim = rig.Sim(family);
    for (int round = 0; round < 300; ++round) {
      const char* entry = entries[family - 1][next() % 4];
      const uint32_t code = 0x80000000u | (next() & 0x0FFFFFFF);
      sim.Fail(entry, code, 1 + next() % 3, static_cast<int32_t>(next() % 2));
      int16_t number = -1;
      uint32_t event = 0;
      const uint32_t results[] = {
          rig.host.api.AllocateBuffer(cam, &number, 64, 0, &event),
          (sim.FillBuffer(cam, number, 1, 1), rig.host.api.WaitForBuffers(cam, &number, 0)),
          rig.host.api.GetImageFromBuffer(cam, number, 8, 8, 8, array.handle()),
          rig.host.api.GetImageFromCamRam(cam, 0, 1, 0, number, array.handle()),
          rig.host.api.FreeBuffer(cam, number),
      };
      for (uint32_t result : results) {
        ++calls;
        if (result != code && moduleCodes.count(result) == 0 && ++unexpected <= 5) {
          ok(false, "family %d, %s failing with 0x%x: a result 0x%x", family, entry, code, result);
        }
      }
      sim.Fail(entry, 0, 0, 0);
    }
    // With the faults gone, the camera cleans up and is forgotten.
    const uint32_t cleaned = rig.host.api.cleanup(cam);
    ok(cleaned == 0 || (cleaned & 0x80000000u) != 0, "family %d: cleanup gave 0x%x", family, cleaned);
    ok_eq_hex(0x800A3004, rig.host.api.cleanup(cam));
  }
  ok(unexpected == 0, "%ld of %ld results were neither 0, a module code nor the injected code", unexpected, calls);
  rig.host.Unload();
  // Every entry made it into the log whole.
  const std::vector<LogEntry> written = ParseLogEntries(ReadWholeFile(InFolder("vorlabview.log")));
  ok(written.size() > 1000, "only %u entries logged", static_cast<unsigned>(written.size()));
  long malformed = 0;
  for (const LogEntry& e : written) malformed += !e.wellFormed;
  ok_eq_int(0, malformed);
}

TEST_CASE(unload_while_the_writer_is_busy_loses_nothing) {
  PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", "usethread=1\r\n"}});
  {
    ModuleHost host("fault_unload");
    if (!ok(host.Load(), "cannot load the DLL")) return;
    host.api.InitLibrary(Cam(0x9000), 4);
    Sleep(200);  // the writer connects
    for (uintptr_t h = 0x9001; h < 0x9000 + 3000; ++h) host.api.InitLibrary(Cam(h), 4);
    host.Unload();  // straight away, with the queue still full
  }
  const std::string file = ReadWholeFile(InFolder("vorlabview.log"));
  long missing = 0;
  size_t last = 0;
  for (uintptr_t h = 0x9000; h < 0x9000 + 3000; ++h) {
    const size_t at = file.find(Entry(h), last);
    if (at == std::string::npos) ++missing; else last = at;
  }
  ok(missing == 0, "%ld of 3000 entries lost or out of order at unload", missing);
}
