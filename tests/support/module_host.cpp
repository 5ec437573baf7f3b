// Test host: fresh folders, loading by ordinal, IAT patching and the box recorder.
#include "module_host.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "wtest.h"

#ifndef VORLAB_DLL
#error "VORLAB_DLL names the built vorlabview.dll"
#endif
#ifndef VORLAB_SIM_DIR
#error "VORLAB_SIM_DIR names the build's folder of stand-in libraries"
#endif

namespace {

CRITICAL_SECTION* BoxLock() {
  static CRITICAL_SECTION lock;
  static LONG initialised = 0;
  if (InterlockedCompareExchange(&initialised, 1, 0) == 0) {
    InitializeCriticalSection(&lock);
    InterlockedExchange(&initialised, 2);
  }
  while (initialised != 2) Sleep(0);
  return &lock;
}

// Never destroyed: a module still loaded at the process's end shows its box after the
// program's statics are gone.
std::vector<BoxRecord>& BoxList() {
  static std::vector<BoxRecord>* boxes = new std::vector<BoxRecord>;
  return *boxes;
}

int WINAPI RecordMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
  EnterCriticalSection(BoxLock());
  BoxList().push_back({owner, text ? text : "(null)", caption ? caption : "(null)", style});
  LeaveCriticalSection(BoxLock());
  return IDOK;
}

template <typename Fn>
void ResolveByName(HMODULE module, const char* name, Fn& slot) {
  slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

template <typename Fn>
void ResolveByOrdinal(HMODULE module, int ordinal, Fn& slot) {
  slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal))));
}

}  // namespace

std::string ExeFolder() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  char* slash = strrchr(path, '\\');
  if (slash) *slash = '\0';
  return path;
}


std::string MakeFreshFolder(const char* name) {
  static LONG counter = 0;
  const std::string root = ExeFolder() + "\\work";
  CreateDirectoryA(root.c_str(), nullptr);
  const std::string folder = wtest::Format("%s\\%s-%lu-%ld", root.c_str(), name,
                                           GetCurrentProcessId(), InterlockedIncrement(&counter));
  RemoveFolder(folder);
  CreateDirectoryA(folder.c_str(), nullptr);
  return folder;
}

namespace {

// Removes what it can of the folder; false when the folder is still there.
bool RemoveFolderTree(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0) continue;
      const std::string path = folder + "\\" + found.cFileName;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveFolderTree(path);
      } else {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  return RemoveDirectoryA(folder.c_str()) || GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES;
}

// Folders that could not be removed yet: a module a wait's helpers still hold stays loaded
// (and its file in use) for up to two seconds after its host let it go.  Never destroyed, so
// that the program's end can still use it.
struct LeftFolders {
  SRWLOCK lock = SRWLOCK_INIT;
  std::vector<std::string> folders;
};

LeftFolders& Left() {
  static LeftFolders* left = new LeftFolders;
  return *left;
}

}  // namespace

void RemoveFolder(const std::string& folder) {
  if (RemoveFolderTree(folder)) return;
  LeftFolders& left = Left();
  AcquireSRWLockExclusive(&left.lock);
  left.folders.push_back(folder);
  ReleaseSRWLockExclusive(&left.lock);
}

void RemoveLeftFolders(DWORD ms) {
  LeftFolders& left = Left();
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    AcquireSRWLockExclusive(&left.lock);
    std::vector<std::string>& folders = left.folders;
    folders.erase(std::remove_if(folders.begin(), folders.end(), RemoveFolderTree), folders.end());
    const bool done = folders.empty();
    ReleaseSRWLockExclusive(&left.lock);
    if (done || GetTickCount64() - start >= ms) return;
    Sleep(100);
  }
}

std::string ReadWholeFile(const std::string& path) {
  std::string bytes;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool done = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
  CloseHandle(file);
  return done;
}

bool PatchImport(HMODULE module, const char* dll, const char* function, void* replacement,
                 void** original) {
  auto* base = reinterpret_cast<BYTE*>(module);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return false;
  for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); desc->Name; ++desc) {
    if (_stricmp(reinterpret_cast<char*>(base + desc->Name), dll) != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + (desc->OriginalFirstThunk ? desc->OriginalFirstThunk
                                                                                       : desc->FirstThunk));
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (strcmp(reinterpret_cast<char*>(byName->Name), function) != 0) continue;
      DWORD protection = 0;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
      if (original) *original = reinterpret_cast<void*>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
      return true;
    }
  }
  return false;
}

std::vector<std::string> SimApi::Trace() const {
  std::vector<std::string> lines;
  if (!valid()) return lines;
  const int32_t count = TraceCount();
  char line[512];
  for (int32_t i = 0; i < count; ++i) {
    if (TraceLine(i, line, sizeof line) >= 0) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> SimApi::Calls(const char* entry) const {
  std::vector<std::string> calls;
  const std::string prefix = std::string(entry) + " ";
  for (const std::string& line : Trace()) {
    if (line.compare(0, prefix.size(), prefix) == 0) calls.push_back(line);
  }
  return calls;
}

ModuleHost::ModuleHost(const char* caseName) : folder_(MakeFreshFolder(caseName)) {
  // VORLAB_MODULE names another build of the module: the benchmarks measure the shipped one,
  // or an earlier one for a figure from before a change.
  char other[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("VORLAB_MODULE", other, sizeof other);
  CopyFileA(length > 0 && length < sizeof other ? other : VORLAB_DLL, PathOf("vorlabview.dll").c_str(), FALSE);
}

ModuleHost::~ModuleHost() {
  Unload();
  RemoveFolder(folder_);
}

bool ModuleHost::CopyStandIn(const char* fileName, const char* variant, const std::string& folder) {
  CreateDirectoryA(folder.c_str(), nullptr);
  const std::string source = wtest::Format("%s/%s/%s", VORLAB_SIM_DIR, variant, fileName);
  return CopyFileA(source.c_str(), (folder + "\\" + fileName).c_str(), FALSE) != FALSE;
}

bool ModuleHost::AddStandIn(const char* fileName, const char* variant) {
  standIns_.push_back(fileName);
  return CopyStandIn(fileName, variant, folder_);
}

bool ModuleHost::Load() {
  module_ = LoadLibraryA(PathOf("vorlabview.dll").c_str());
  if (module_ == nullptr) return false;
  if (!PatchImport(module_, "user32.dll", "MessageBoxA", reinterpret_cast<void*>(&RecordMessageBox), nullptr)) {
    printf("vorlabview.dll does not import MessageBoxA from user32.dll\n");
  }
  ResolveByOrdinal(module_, 1, api.InitLibrary);
  ResolveByOrdinal(module_, 2, api.AllocateBuffer);
  ResolveByOrdinal(module_, 3, api.GetImageFromCamRam);
  ResolveByOrdinal(module_, 4, api.GetImageFromBuffer);
  ResolveByOrdinal(module_, 5, api.cleanup);
  ResolveByOrdinal(module_, 6, api.GetErrorText);
  ResolveByOrdinal(module_, 7, api.GetImageFromBuffer2D);
  ResolveByOrdinal(module_, 8, api.GetImageExFromCamRam);
  ResolveByOrdinal(module_, 9, api.WaitForBuffers);
  ResolveByOrdinal(module_, 10, api.FreeBuffer);
  ResolveByOrdinal(module_, 11, api.InitPushFile);
  ResolveByOrdinal(module_, 12, api.PushImageToFile);
  ResolveByOrdinal(module_, 13, api.ClosePushFile);
  ResolveByOrdinal(module_, 14, api.SetLVRTModule);
  ResolveByOrdinal(module_, 15, api.WaitForBuffersEx);
  ResolveByOrdinal(module_, 16, api.Reserve);
  ResolveByOrdinal(module_, 17, api.Unreserve);
  ResolveByOrdinal(module_, 18, api.Abort);
  ResolveByOrdinal(module_, 19, api.CancelWait);
  ResolveByOrdinal(module_, 20, api.InitLibraryEx);
  ResolveByOrdinal(module_, 21, api.GetCameraStats);
  ResolveByOrdinal(module_, 22, api.GetState);
  ClearBoxes();
  return true;
}

void ModuleHost::Unload() {
  if (module_ != nullptr) {
    FreeLibrary(module_);
    module_ = nullptr;
  }
  // The module releases a family's library only through Vcleanup; drop what it left, once its
  // acquisition thread has ended (it holds a reference of its own, which goes here too).
  for (const std::string& name : standIns_) {
    const std::string path = PathOf(name.c_str());
    const SimApi sim = SimAt(path);
    if (sim.Reset != nullptr) sim.Reset();
    for (int i = 0; i < 64; ++i) {
      HMODULE left = GetModuleHandleA(path.c_str());
      if (left == nullptr) break;
      FreeLibrary(left);
    }
  }
  api = ModuleApi{};
}

SimApi ModuleHost::Sim(const char* fileName) const { return SimAt(PathOf(fileName)); }

SimApi ModuleHost::SimAt(const std::string& path) {
  SimApi sim;
  sim.module = GetModuleHandleA(path.c_str());
  if (sim.module == nullptr) return sim;
  ResolveByName(sim.module, "SimReset", sim.Reset);
  ResolveByName(sim.module, "SimFail", sim.Fail);
  ResolveByName(sim.module, "SimSetNullAddress", sim.SetNullAddress);
  ResolveByName(sim.module, "SimSetStatus", sim.SetStatus);
  ResolveByName(sim.module, "SimFillBuffer", sim.FillBuffer);
  ResolveByName(sim.module, "SimSignal", sim.Signal);
  ResolveByName(sim.module, "SimBufferAddress", sim.BufferAddress);
  ResolveByName(sim.module, "SimBufferSize", sim.BufferSize);
  ResolveByName(sim.module, "SimBufferEvent", sim.BufferEvent);
  ResolveByName(sim.module, "SimBufferCount", sim.BufferCount);
  ResolveByName(sim.module, "SimSetPending", sim.SetPending);
  ResolveByName(sim.module, "SimTraceCount", sim.TraceCount);
  ResolveByName(sim.module, "SimTraceLine", sim.TraceLine);
  ResolveByName(sim.module, "SimTraceClear", sim.TraceClear);
  ResolveByName(sim.module, "SimSetTracing", sim.SetTracing);
  ResolveByName(sim.module, "SimSetDelay", sim.SetDelay);
  ResolveByName(sim.module, "SimCallsEntered", sim.CallsEntered);
  ResolveByName(sim.module, "SimCallsReturned", sim.CallsReturned);
  ResolveByName(sim.module, "SimSetSignalOnFree", sim.SetSignalOnFree);
  ResolveByName(sim.module, "SimSetAcquisitionMode", sim.SetAcquisitionMode);
  ResolveByName(sim.module, "SimStartAcquisition", sim.StartAcquisition);
  ResolveByName(sim.module, "SimStopAcquisition", sim.StopAcquisition);
  ResolveByName(sim.module, "SimFramesDelivered", sim.FramesDelivered);
  return sim;
}

std::vector<BoxRecord> ModuleHost::Boxes() {
  EnterCriticalSection(BoxLock());
  std::vector<BoxRecord> copy = BoxList();
  LeaveCriticalSection(BoxLock());
  return copy;
}

void ModuleHost::ClearBoxes() {
  EnterCriticalSection(BoxLock());
  BoxList().clear();
  LeaveCriticalSection(BoxLock());
}

void CheckOneErrorBox(const char* text) {
  const std::vector<BoxRecord> boxes = ModuleHost::Boxes();
  if (!ok_eq_int(1, boxes.size())) return;
  ok_eq_str(text, boxes[0].text);
  ok_eq_str("Error", boxes[0].caption);
  ok_eq_hex(MB_OK, boxes[0].style);
  ok(boxes[0].owner == GetActiveWindow(), "the box is not owned by the active window");
}
