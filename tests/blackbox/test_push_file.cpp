// Push-file recording through the real DLL and the stand-in file plug-in, which writes
// multi-page TIFF files and traces every call it receives.
#include <windows.h>

#include "camera_rig.h"
#include "plugin_api.h"

namespace {

// A rig with the plug-in beside the module, a QD4 camera and one buffer of `size` bytes.
struct Recording {
  explicit Recording(const char* name, uint32_t size = 64 * 48 * 2) : rig(name) {
    rig.host.AddStandIn("VOR_File.dll");
    ready = rig.loaded && rig.Init(Cam(0x51), 3) && rig.NewBuffer(Cam(0x51), size) == 0 &&
            plugin.Bind(rig.host.PathOf("VOR_File.dll"));
    if (ready) plugin.TraceClear();
  }
  std::string Folder() const { return rig.host.folder() + "\\"; }
  CameraRig rig;
  PluginApi plugin;
  bool ready = false;
};

std::string Hex(const void* pointer) {
  return wtest::Format("%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
}

}  // namespace

TEST_CASE(open_push_close_with_exact_arguments) {
  Recording r("push_calls");
  if (!ok(r.ready, "no rig")) return;
  const ModuleApi& api = r.rig.host.api;
  ok_eq_hex(0, api.InitPushFile(Cam(0x51), "run1", 64, 48, 12, 3, 25));
  SimApi sim = r.rig.Sim(3);
  const void* picture = sim.BufferAddress(Cam(0x51), 0);
  ok_eq_hex(0, api.PushImageToFile(Cam(0x51), 0));
  ok_eq_hex(0, api.PushImageToFile(Cam(0x51), 0));
  ok_eq_hex(0, api.ClosePushFile(Cam(0x51)));

  const std::vector<std::string> trace = r.plugin.Trace();
  if (ok_eq_int(8, trace.size())) {
    ok_eq_str("PlugInit client=\"vor labview\"", trace[0]);
    ok_eq_str("CreateObject reserved=0 client=\"vor labview\" client2=\"vor labview\" -> object", trace[1]);
    const std::string info = trace[2].substr(trace[2].find(" info=") + 6, trace[2].find(" two=") - trace[2].find(" info=") - 6);
    ok_eq_str(wtest::Format("Open name=\"%srun1.tif\" info=%s two=2 tif=\"tif\" flags=4040 zero1=0 open=25 zero2=0 -> 0",
                            r.Folder().c_str(), info.c_str()),
              trace[2]);
    ok_eq_str(wtest::Format("Push info=%s pic=%s four=4 scratch=set one=1 zero=0 -> 0", info.c_str(), Hex(picture).c_str()),
              trace[3]);
    ok_eq_str("Close -> 0", trace[5]);
    ok_eq_str("DeleteObject", trace[6].substr(0, 12));
    ok_eq_str("PlugUnInit", trace[7]);
  }
  // Two pages in a TIFF file the plug-in wrote where the name rule put it.
  const std::string file = ReadWholeFile(r.Folder() + "run1.tif");
  ok(file.size() > 2 * 64 * 48 * 2 && file.compare(0, 4, "II*\0", 4) == 0, "no TIFF file of two pages: %u bytes",
     static_cast<unsigned>(file.size()));
}

TEST_CASE(record_bytes_at_open_and_push) {
  Recording r("push_record");
  if (!ok(r.ready, "no rig")) return;
  const ModuleApi& api = r.rig.host.api;
  ok_eq_hex(0, api.InitPushFile(Cam(0x51), "rec", 64, 48, 8, 5, 0));
  uint8_t info[0x168];
  ok_eq_int(0x168, r.plugin.OpenInfo(info, sizeof info));
  auto u32 = [&](size_t offset) { uint32_t v; memcpy(&v, info + offset, 4); return v; };
  auto f64 = [&](size_t offset) { double v; memcpy(&v, info + offset, 8); return v; };
  ok_eq_int(64, u32(0x01C));
  ok_eq_int(48, u32(0x020));
  for (size_t offset : {0x054, 0x060, 0x068, 0x070, 0x084, 0x090, 0x098, 0x0A0}) {
    ok(u32(offset) == 257, "M at 0x%03x is %u", static_cast<unsigned>(offset), u32(offset));
  }
  ok_eq_int(0, u32(0x0CC));  // mode 5 is stored as 0
  ok_eq_int(8, u32(0x0D0));
  ok(f64(0x0D4) == 100.0 && f64(0x0AC) == 1.0 && f64(0x0F4) == 1.0 && f64(0x0FC) == 0.0, "fixed doubles");
  ok_eq_int(6500, u32(0x0E4));
  ok_eq_hex(0x8000, u32(0x150) >> 16);
  ok(r.plugin.Trace()[2].find(" open=10 ") != std::string::npos, "an open value of 0 was not raised to 10");

  SimApi sim = r.rig.Sim(3);
  ok_eq_hex(0, api.PushImageToFile(Cam(0x51), 0));
  uint8_t pushed[0x168];
  r.plugin.PushInfo(pushed, sizeof pushed);
  void* first = nullptr;
  memcpy(&first, pushed, sizeof first);
  ok(first == sim.BufferAddress(Cam(0x51), 0), "the record's first field is not the buffer's address");
  ok_eq_hex(0, api.ClosePushFile(Cam(0x51)));
}

TEST_CASE(one_recording_owned_by_its_camera) {
  Recording r("push_owner");
  if (!ok(r.ready, "no rig") || !r.rig.Init(Cam(0x52), 1)) return;
  const ModuleApi& api = r.rig.host.api;
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.InitPushFile(Cam(0x99), "x", 8, 8, 8, 0, 10));  // not registered
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.PushImageToFile(Cam(0x51), 0));                   // nothing open
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.ClosePushFile(Cam(0x51)));
  ok_eq_hex(0, api.InitPushFile(Cam(0x51), "owned", 8, 8, 8, 0, 10));
  r.plugin.TraceClear();
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.InitPushFile(Cam(0x51), "again", 8, 8, 8, 0, 10));
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.InitPushFile(Cam(0x52), "other", 8, 8, 8, 0, 10));
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.PushImageToFile(Cam(0x52), 0));
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.ClosePushFile(Cam(0x52)));
  ok_eq_int(0, r.plugin.Trace().size());
  ok_eq_hex(VOR_ERR_BUFFER_NOT_REGISTERED, api.PushImageToFile(Cam(0x51), 7));
  ok_eq_hex(0, api.ClosePushFile(Cam(0x51)));
  // After the close, any registered camera may record.
  ok_eq_hex(0, api.InitPushFile(Cam(0x52), "next", 8, 8, 8, 0, 10));
  ok_eq_hex(0, api.ClosePushFile(Cam(0x52)));
  ok(GetFileAttributesA((r.Folder() + "owned.tif").c_str()) != INVALID_FILE_ATTRIBUTES, "owned.tif missing");
  ok(GetFileAttributesA((r.Folder() + "again.tif").c_str()) == INVALID_FILE_ATTRIBUTES, "a refused open made a file");
}

TEST_CASE(refused_pushes_and_failed_open) {
  Recording r("push_refuse", 100);
  if (!ok(r.ready, "no rig")) return;
  const ModuleApi& api = r.rig.host.api;
  // A failed open: the object goes, no recording is open, a later open works.
  r.plugin.FailOpen(0x80120004);
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.InitPushFile(Cam(0x51), "failed", 8, 8, 8, 0, 10));
  r.plugin.FailOpen(0);
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.PushImageToFile(Cam(0x51), 0));
  std::vector<std::string> trace = r.plugin.Trace();
  ok(!trace.empty() && trace.back().compare(0, 12, "DeleteObject") == 0, "the object of a failed open was kept");

  // A buffer of 100 bytes is smaller than one 16 x 16 x 1 image; nothing is pushed.
  ok_eq_hex(0, api.InitPushFile(Cam(0x51), "small", 16, 16, 8, 0, 10));
  r.plugin.TraceClear();
  ok_eq_hex(VOR_ERR_BUFFER_TOO_SMALL, api.PushImageToFile(Cam(0x51), 0));
  ok_eq_int(0, r.plugin.Trace().size());
  // The push's own failure comes back unchanged and the recording stays open.
  ok_eq_hex(0, api.ClosePushFile(Cam(0x51)));
  ok_eq_hex(0, api.InitPushFile(Cam(0x51), "fails", 10, 10, 8, 0, 10));
  r.plugin.FailPush(0x80120007);
  ok_eq_hex(0x80120007, api.PushImageToFile(Cam(0x51), 0));
  r.plugin.FailPush(0);
  ok_eq_hex(0, api.PushImageToFile(Cam(0x51), 0));
  ok_eq_hex(0, api.ClosePushFile(Cam(0x51)));

  // A Tornio buffer mapped without an address cannot be pushed.
  if (!r.rig.Init(Cam(0x53), 2)) return;
  r.rig.Sim(2).SetNullAddress("MAP_BUFFER", 1);
  r.rig.NewBuffer(Cam(0x53), 100);
  ok_eq_hex(0, api.InitPushFile(Cam(0x53), "nulladdress", 4, 4, 8, 0, 10));
  ok_eq_hex(VOR_ERR_BUFFER_NOT_REGISTERED, api.PushImageToFile(Cam(0x53), 0));
  ok_eq_hex(0, api.ClosePushFile(Cam(0x53)));
}

TEST_CASE(file_names_that_cannot_fit_open_nothing) {
  Recording r("push_names");
  if (!ok(r.ready, "no rig")) return;
  const ModuleApi& api = r.rig.host.api;
  const std::string longName(250, 'n');
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.InitPushFile(Cam(0x51), longName.c_str(), 8, 8, 8, 0, 10));
  ok_eq_int(0, r.plugin.Trace().size());
  ok_eq_hex(0, api.InitPushFile(Cam(0x51), nullptr, 8, 8, 8, 0, 10));
  ok(r.plugin.Trace()[2].find("name=\"" + r.Folder() + ".tif\"") != std::string::npos, "a null name is not \".tif\"");
  ok_eq_hex(0, api.ClosePushFile(Cam(0x51)));
}

TEST_CASE(missing_plugin_refuses_the_recording) {
  CameraRig rig("push_missing");
  if (!rig.loaded || !rig.Init(Cam(0x54), 4)) return;
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, rig.host.api.InitPushFile(Cam(0x54), "x", 8, 8, 8, 0, 10));
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, rig.host.api.PushImageToFile(Cam(0x54), 0));
}

// Camera handle 0 is a handle like any other: it records and closes, and a second open is
// refused while its recording is open.
TEST_CASE(camera_handle_zero_records_like_any_other) {
  Recording r("push_handle_zero");
  if (!ok(r.ready, "no rig") || !r.rig.Init(nullptr, 3)) return;
  const ModuleApi& api = r.rig.host.api;
  r.rig.NewBuffer(nullptr, 8 * 8);
  r.plugin.TraceClear();
  ok_eq_hex(0, api.InitPushFile(nullptr, "zero", 8, 8, 8, 0, 10));
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.InitPushFile(nullptr, "zero2", 8, 8, 8, 0, 10));
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.InitPushFile(Cam(0x51), "other", 8, 8, 8, 0, 10));
  ok_eq_hex(0, api.PushImageToFile(nullptr, 0));
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.PushImageToFile(Cam(0x51), 0));
  ok_eq_hex(0, api.ClosePushFile(nullptr));
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.ClosePushFile(nullptr));
  // One object made and deleted: nothing was left open behind another.
  int creates = 0, deletes = 0;
  for (const std::string& line : r.plugin.Trace()) {
    creates += line.compare(0, 13, "CreateObject ") == 0;
    deletes += line == "DeleteObject";
  }
  ok_eq_int(1, creates);
  ok_eq_int(1, deletes);
  ok_eq_hex(0, api.cleanup(nullptr));
}
