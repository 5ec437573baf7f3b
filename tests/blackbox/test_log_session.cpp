// The session log end to end: set-up at load, every export's entry, close at unload, and the
// module's start and exit.  These cases share the log folder of their own Wine prefix.
#include <windows.h>
#include <winioctl.h>

#include "camera_rig.h"
#include "log_entries.h"
#include "log_folder.h"
#include "lv_array.h"

namespace {

const char kTilde[] =
    "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\r\n";
const char kNewSession[] =
    "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~ N e w  s e s s i o n ! ~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\r\n";

std::string Header() {
  SYSTEMTIME today;
  GetLocalTime(&today);
  return wtest::Format("vor AG | vorlabview dll V2.0.0.149 (64bit) / %d.%d.%d\r\n\r\n", today.wDay, today.wMonth,
                       today.wYear);
}

std::string Repeat(const char* line, int times) {
  std::string lines;
  for (int i = 0; i < times; ++i) lines += line;
  return lines;
}

const std::string kInfoFile =
    "Logging info: Rename this file to vorlabview.log, in order to enable logging.\r\n"
    "              Logging consumes time and should not be enabled permanently.\r\n"
    "              vorlabview.log will be overwritten at startup of a session.\r\n"
    "              If you like to have more than one session logged, rename this file\r\n"
    "              to vorlabview_a.log. If both exist vorlabview_a.log will be used.\r\n"
    "              Create a file vorlabview.ini with the following parameters:\r\n"
    "              flush=1     (default=0, avoids a logfile close/open during write operation\r\n"
    "                          This will be faster than flush=0, but the most recent data is\r\n"
    "                          still in the cache of the system and thus the file is not current.\r\n"
    "              usethread=1 (default=0, uses a thread to write the logging data\r\n"
    "                          This avoids blocking of the thread calling the write operation.\r\n"
    "                          This will be faster than usethread=0, but the most recent data is\r\n"
    "                          still buffered in logging buffers and thus the file is not current.";

// Counts the module's own file opens and handle closes, patched into its imports.
struct FileActivity {
  static decltype(&CreateFileA) realCreate;
  static decltype(&CloseHandle) realClose;
  static std::vector<std::string> opened;
  static long closed;
  static bool failOpen;

  static HANDLE WINAPI Create(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE pattern) {
    opened.push_back(name);
    if (failOpen) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    return realCreate(name, access, share, security, disposition, flags, pattern);
  }
  static BOOL WINAPI Close(HANDLE handle) {
    ++closed;
    return realClose(handle);
  }
  static void Watch(HMODULE module) {
    opened.clear();
    closed = 0;
    failOpen = false;
    PatchImport(module, "kernel32.dll", "CreateFileA", reinterpret_cast<void*>(&Create),
                reinterpret_cast<void**>(&realCreate));
    PatchImport(module, "kernel32.dll", "CloseHandle", reinterpret_cast<void*>(&Close),
                reinterpret_cast<void**>(&realClose));
  }
};
decltype(&CreateFileA) FileActivity::realCreate = nullptr;
decltype(&CloseHandle) FileActivity::realClose = nullptr;
std::vector<std::string> FileActivity::opened;
long FileActivity::closed = 0;
bool FileActivity::failOpen = false;

struct Expected {
  uint32_t code;
  std::string text;
};

void CheckEntries(const std::string& file, const std::vector<Expected>& expected) {
  const std::vector<LogEntry> entries = ParseLogEntries(file);
  ok_eq_int(expected.size(), entries.size());
  for (size_t i = 0; i < entries.size() && i < expected.size(); ++i) {
    ok(entries[i].wellFormed, "entry %u has no closing empty line", static_cast<unsigned>(i));
    ok_eq_int(expected[i].code != 0, entries[i].hasError);
    ok_eq_hex(expected[i].code, entries[i].code);
    ok_eq_str(expected[i].text, entries[i].text);
  }
}

}  // namespace

TEST_CASE(no_log_file_drops_the_info_file_once) {
  PrepareFolder({});
  {
    ModuleHost host("log_none");
    if (!ok(host.Load(), "cannot load the DLL")) return;
    FileActivity::Watch(host.module());
    ok_eq_hex(0, host.api.InitLibrary(Cam(1), 4));
    ok_eq_int(0, FileActivity::opened.size());  // the log is off: no file activity at all
    ok_eq_hex(0x800A3004, host.api.cleanup(Cam(1)));  // no library bound
  }
  ok_eq_str(kInfoFile, ReadWholeFile(InFolder("vorlabview.txt")));
  const std::vector<std::string> files = FolderFiles();
  ok(files.size() == 1, "%u files in the log folder", static_cast<unsigned>(files.size()));

  WriteWholeFile(InFolder("vorlabview.txt"), "edited by the user");
  {
    ModuleHost host("log_none_again");
    ok(host.Load(), "cannot load the DLL");
  }
  ok_eq_str("edited by the user", ReadWholeFile(InFolder("vorlabview.txt")));
}

TEST_CASE(session_log_is_replaced_with_banner_and_header) {
  PrepareFolder({{"vorlabview.log", "the previous session\r\n"}});
  {
    ModuleHost host("log_session");
    ok(host.Load(), "cannot load the DLL");
  }
  const std::string file = ReadWholeFile(InFolder("vorlabview.log"));
  ok_eq_str(Repeat(kTilde, 2) + Header(), file);
  ok_eq_int(1, FolderFiles().size());
}

TEST_CASE(preserve_keeps_the_previous_session_log) {
  PrepareFolder({{"vorlabview.log", "kept session\r\n"}, {"vorlabview.ini", "PRESERVE=1\r\n"}});
  SYSTEMTIME before;
  GetLocalTime(&before);
  {
    ModuleHost host("log_preserve");
    ok(host.Load(), "cannot load the DLL");
  }
  SYSTEMTIME after;
  GetLocalTime(&after);
  // The kept name carries month, day, hour, minute and second without leading zeros.
  std::vector<std::string> expected;
  for (const SYSTEMTIME& t : {before, after}) {
    expected.push_back(wtest::Format("vorlabview_%d%d_%d%d%d.log", t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond));
  }
  bool found = false;
  for (const std::string& name : FolderFiles()) {
    if (name == expected[0] || name == expected[1]) {
      found = true;
      ok_eq_str("kept session\r\n", ReadWholeFile(InFolder(name.c_str())));
    }
  }
  ok(found, "no kept log named %s", expected[0].c_str());
  ok_eq_str(Repeat(kTilde, 2) + Header(), ReadWholeFile(InFolder("vorlabview.log")));
}

TEST_CASE(append_log_gets_the_session_banner_after_its_content) {
  PrepareFolder({{"vorlabview_a.log", "older sessions\r\n"}, {"vorlabview.log", "left alone\r\n"},
                 {"vorlabview.ini", "usethread=1\r\n"}});
  {
    ModuleHost host("log_append");
    ok(host.Load(), "cannot load the DLL");
  }
  ok_eq_str("older sessions\r\n" + Repeat(kTilde, 3) + kNewSession + Repeat(kTilde, 3) +
                "Logging runs in a thread!\r\n" + Header(),
            ReadWholeFile(InFolder("vorlabview_a.log")));
  ok_eq_str("left alone\r\n", ReadWholeFile(InFolder("vorlabview.log")));
}

TEST_CASE(every_export_writes_its_entry) {
  PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", "flush=1\r\n"}});
  std::string expectedAllocate;
  {
    CameraRig rig("log_road");
    if (!rig.loaded) return;
    const ModuleApi& api = rig.host.api;
    ok_eq_hex(0, api.InitLibrary(Cam(0x2002), 2));
    uint32_t event = 0;
    const int16_t number = rig.NewBuffer(Cam(0x2002), 256, &event);
    SimApi sim = rig.Sim(2);
    expectedAllocate = wtest::Format("VAllocateBuffer done hCam 2002 hevent %x\r\npic ptr %x buf nr 0\r\n", event,
                                     static_cast<unsigned>(reinterpret_cast<uintptr_t>(sim.BufferAddress(Cam(0x2002), 0))));
    sim.FillBuffer(Cam(0x2002), number, 1, 1);
    int16_t filled = -1;
    ok_eq_hex(0, api.WaitForBuffers(Cam(0x2002), &filled, 1000));
    LvArray array({256}, 1);
    ok_eq_hex(0, api.GetImageFromBuffer(Cam(0x2002), 0, 16, 16, 8, array.handle()));
    ok_eq_hex(0xA00A3003, api.GetImageFromBuffer2D(Cam(0x2002), 3, 16, 16, 8, array.handle()));
    ok_eq_hex(0x800A3004, api.GetImageFromCamRam(Cam(0x2002), 0, 1, 0, 0, array.handle()));
    sim.SetStatus(Cam(0x2002), 0, 0x1002, 0);
    ok_eq_hex(0x800A300B, api.WaitForBuffers(Cam(0x2002), &filled, 0));
    sim.Signal(Cam(0x2002), 0, 0);
    ok_eq_hex(0xA00A3005, api.WaitForBuffers(Cam(0x2002), &filled, 0));
    ok_eq_hex(0, api.FreeBuffer(Cam(0x2002), 0));
    ok_eq_hex(0, api.cleanup(Cam(0x2002)));
    int16_t none = -1;
    ok_eq_hex(0x800A3004, api.AllocateBuffer(Cam(0x2002), &none, 64, 0, &event));
    ok_eq_hex(0x800A3004, api.WaitForBuffers(Cam(0x2002), &filled, 0));
    ok_eq_hex(0, api.InitLibrary(Cam(0x1001), 1));
    ok_eq_hex(0, api.cleanup(Cam(0x1001)));
  }
  const std::string file = ReadWholeFile(InFolder("vorlabview.log"));
  ok(file.compare(0, 2 * 98, Repeat(kTilde, 2)) == 0, "the log does not start with its banner");
  CheckEntries(file, {
      {0, "getTornio getting functions ready 0\r\n"},
      {0, "VInitLibrary done hCam 2002 type 2\r\n"},
      {0, expectedAllocate},
      {0, "VWaitForBuffers done. Bufnr 0\r\n"},
      {0, "VGetImageFromBuffer done Bufnr 0\r\n"},
      {0xA00A3003, "VGetImageFromBuffer2D error 2\r\n"},
      {0x800A3004, "VGetImageFromCamRam error\r\n"},
      {0x800A300B, "VWaitForBuffers BufNr 0 error 4\r\n"},
      {0xA00A3005, "VWaitForBuffers error timeout\r\n"},
      {0, "VFreeBuffer done HANDLE 2002 bufnr 0\r\n"},
      {0, "VCleanup done\r\n"},
      {0x800A3004, "VAllocateBuffer error\r\n"},
      {0x800A3004, "VWaitForBuffers error\r\n"},
      {0, "getLanticam getting functions\r\n"},
      {0, "getLanticam getting functions ready 0\r\n"},
      {0, "VInitLibrary done hCam 1001 type 1\r\n"},
      {0, "VCleanup done\r\n"},
  });
}

TEST_CASE(flush_settings_decide_the_reopen) {
  struct Case { const char* ini; bool reopens; };
  const Case cases[] = {{"", true}, {"Flush = 1\r\n", false}, {";flush=1\r\n", true}, {"; flush=1\r\n", false},
                        {"noflush=1\r\n", false}, {"flush=0\r\nflush=1\r\n", true}};
  for (const Case& c : cases) {
    PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", c.ini}});
    ModuleHost host("log_flush");
    if (!ok(host.Load(), "cannot load the DLL")) return;
    FileActivity::Watch(host.module());
    host.api.InitLibrary(Cam(7), 4);
    host.api.InitLibrary(Cam(8), 4);
    const bool reopened = FileActivity::opened.size() == 2;
    ok(reopened == c.reopens && (FileActivity::opened.empty() || FileActivity::opened[0] == InFolder("vorlabview.log")),
       "ini \"%s\": %u opens after two entries", wtest::Escape(c.ini).c_str(),
       static_cast<unsigned>(FileActivity::opened.size()));
  }
}

TEST_CASE(flush0_log_is_current_and_a_failed_reopen_stops_it) {
  PrepareFolder({{"vorlabview.log", ""}});
  ModuleHost host("log_flush0");
  if (!ok(host.Load(), "cannot load the DLL")) return;
  ok_eq_hex(0, host.api.InitLibrary(Cam(0x31), 5));
  // The file on disk holds the entry while the module is still loaded.
  std::vector<LogEntry> entries = ParseLogEntries(ReadWholeFile(InFolder("vorlabview.log")));
  ok(entries.size() == 1 && entries[0].text == "VInitLibrary done hCam 31 type 5\r\n", "the entry is not on disk");

  // The log file vanishes under the module (the reopen fails): logging stops, results stay.
  FileActivity::Watch(host.module());
  FileActivity::failOpen = true;
  ok_eq_hex(0, host.api.InitLibrary(Cam(0x32), 5));
  FileActivity::failOpen = false;
  ok_eq_hex(0, host.api.InitLibrary(Cam(0x33), 5));
  ok_eq_int(1, FileActivity::opened.size());
  int16_t number = -1;
  uint32_t event = 0;
  ok_eq_hex(0x800A3004, host.api.AllocateBuffer(Cam(0x34), &number, 64, 0, &event));
  host.Unload();
  entries = ParseLogEntries(ReadWholeFile(InFolder("vorlabview.log")));
  ok_eq_int(2, entries.size());
}

TEST_CASE(unload_warns_about_records_left) {
  PrepareFolder({});
  {
    ModuleHost host("life_clean");
    if (!ok(host.Load(), "cannot load the DLL")) return;
    FileActivity::Watch(host.module());
    host.Unload();
    ok_eq_int(0, ModuleHost::Boxes().size());
    ok_eq_int(0, FileActivity::closed);  // the log is off: unload leaves it alone
  }
  {
    ModuleHost host("life_left");
    host.AddStandIn(kLanCam);
    if (!ok(host.Load(), "cannot load the DLL")) return;
    ok_eq_hex(0, host.api.InitLibrary(Cam(0x41), 1));
    host.Unload();
    const std::vector<BoxRecord> boxes = ModuleHost::Boxes();
    if (ok_eq_int(1, boxes.size())) {
      ok_eq_str("Buffers are still allocated.\r\nPlease remove all buffers first!", boxes[0].text);
      ok_eq_str("vorgeneric", boxes[0].caption);
      ok_eq_hex(0, boxes[0].style);
      ok(boxes[0].owner == nullptr, "the unload box has an owner");
    }
  }
  {
    CameraRig rig("life_cleaned");
    if (!rig.loaded || !rig.Init(Cam(0x42), 3)) return;
    rig.NewBuffer(Cam(0x42), 64);
    ok_eq_hex(0, rig.host.api.cleanup(Cam(0x42)));
    rig.host.Unload();
    ok_eq_int(0, ModuleHost::Boxes().size());
  }
}

namespace {

// An ini of `size` bytes that starts with `text`; the rest reads as zeros.  Past the text the
// file is only extended, so on file systems that allow it a huge ini costs no disk space.
bool WriteIniOfSize(const std::string& text, uint64_t size) {
  HANDLE file = CreateFileA(InFolder("vorlabview.ini").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  DWORD ignored = 0;
  // Sparse where the file system has it, so the zeros are never written.
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  bool done = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != FALSE;
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  done = done && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  return done;
}

}  // namespace

TEST_CASE(ini_larger_than_64k_counts_as_unreadable) {
  struct Case {
    const char* what;
    uint64_t size;
    bool read;
  };
  const Case cases[] = {
      {"64 KiB", 0x10000, true},
      {"64 KiB and 1 byte", 0x10001, false},
      {"4 GiB less 2 bytes", 0xFFFFFFFEull, false},
      {"4 GiB and 16 bytes", 0x100000010ull, false},
  };
  for (const Case& c : cases) {
    WTEST_CONTEXT("ini of %s", c.what);
    PrepareFolder({{"vorlabview.log", ""}});
    if (!ok(WriteIniOfSize("usethread=1\r\n", c.size), "cannot make the ini")) continue;
    {
      ModuleHost host("log_big_ini");
      if (!ok(host.Load(), "cannot load the DLL")) continue;
      ok_eq_hex(0, host.api.InitLibrary(Cam(0x51), 4));
      ok_eq_hex(0, host.api.InitLibrary(Cam(0x52), 4));
      // Unread, the options keep their defaults: direct mode with flush=0, so both entries
      // are in the file at once.
      if (!c.read) ok_eq_int(2, ParseLogEntries(ReadWholeFile(InFolder("vorlabview.log"))).size());
    }
    const std::string file = ReadWholeFile(InFolder("vorlabview.log"));
    ok_eq_str(Repeat(kTilde, 2) + (c.read ? "Logging runs in a thread!\r\n" : "") + Header(),
              file.substr(0, file.find("\r\n\r\n") + 4));
    const std::vector<LogEntry> entries = ParseLogEntries(file);
    ok(entries.size() == 2 && entries[0].text == "VInitLibrary done hCam 51 type 4\r\n" &&
           entries[1].text == "VInitLibrary done hCam 52 type 4\r\n",
       "the entries are not logged");
  }
}

// "messageboxes=0": the boxes a failed load, a failed allocation and the unload would show go
// to the log as entries with their codes, and the exports' results stay as they are; without
// the key, with "messageboxes=1" or with it commented out, the boxes are shown.  Also with
// the log off, the switch holds.
TEST_CASE(message_boxes_can_stay_shut) {
  struct Case {
    const char* ini;
    bool logFile;
    bool shown;
  };
  const Case cases[] = {{"messageboxes=0\r\n", true, false},   {"MessageBoxes = 0\r\n", true, false},
                        {"messageboxes=0\r\n", false, false},  {"messageboxes=1\r\n", true, true},
                        {";messageboxes=0\r\n", true, true},   {"flush=1\r\n", true, true}};
  for (const Case& c : cases) {
    WTEST_CONTEXT("ini \"%s\", log file %d", wtest::Escape(c.ini).c_str(), c.logFile);
    if (c.logFile) {
      PrepareFolder({{"vorlabview.log", ""}, {"vorlabview.ini", c.ini}});
    } else {
      PrepareFolder({{"vorlabview.ini", c.ini}});
    }
    ModuleHost::ClearBoxes();
    {
      CameraRig rig("log_boxes");
      if (!rig.loaded) return;
      if (!ok_eq_hex(0, rig.host.api.InitLibrary(Cam(0x3003), 1))) continue;
      rig.Sim(1).Fail("ALLOCATE_BUFFER_EX", 0x80043005, 1, 0);
      int16_t number = -1;
      uint32_t event = 0;
      ok_eq_hex(0x80043005, rig.host.api.AllocateBuffer(Cam(0x3003), &number, 64, 0, &event));
      rig.host.Unload();  // with the camera still registered: the unload's box
    }
    const std::vector<BoxRecord> boxes = ModuleHost::Boxes();
    ok_eq_int(c.shown ? 2 : 0, boxes.size());
    if (c.shown && boxes.size() == 2) {
      ok_eq_str("Error", boxes[0].caption);
      ok_eq_str("vorgeneric", boxes[1].caption);
    }
    if (c.logFile) {
      const std::string log = ReadWholeFile(InFolder("vorlabview.log"));
      const bool logged = log.find("ERROR 80043005:\r\nallocatebuffer error :80043005, \nsize: 64") != std::string::npos &&
                          log.find("Buffers are still allocated.\r\nPlease remove all buffers first!") != std::string::npos;
      ok(logged == !c.shown, "the boxes are %s the log", logged ? "in" : "not in");
    }
  }
}
