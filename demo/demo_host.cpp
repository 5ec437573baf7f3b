// Demo host: drives vorlabview.dll the way a LabVIEW program does, against the simulated SDKs.
//
// Run it from the folder that holds vorlabview.dll; the simulated SDK libraries lie in its
// "simulated" subfolder and are found through the DLL search path.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "vorlabview.h"

namespace {

struct Api {
  decltype(&VInitLibrary) InitLibrary;
  decltype(&VAllocateBuffer) AllocateBuffer;
  decltype(&VFreeBuffer) FreeBuffer;
  decltype(&Vcleanup) cleanup;
};

template <typename Fn>
bool Bind(HMODULE module, const char* name, Fn& slot) {
  slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (slot == nullptr) fprintf(stderr, "vorlabview.dll lacks %s\n", name);
  return slot != nullptr;
}

std::string ExeFolder() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  char* slash = strrchr(path, '\\');
  if (slash) *slash = '\0';
  return path;
}

struct Camera {
  const char* name;
  int32_t family;
  uintptr_t handle;
};

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  const std::string folder = ExeFolder();
  SetDllDirectoryA((folder + "\\simulated").c_str());
  HMODULE dll = LoadLibraryA((folder + "\\vorlabview.dll").c_str());
  if (dll == nullptr) {
    printf("cannot load %s\\vorlabview.dll (error %lu)\n", folder.c_str(), GetLastError());
    return 1;
  }
  Api api{};
  if (!Bind(dll, "VInitLibrary", api.InitLibrary) || !Bind(dll, "VAllocateBuffer", api.AllocateBuffer) ||
      !Bind(dll, "VFreeBuffer", api.FreeBuffer) || !Bind(dll, "Vcleanup", api.cleanup)) {
    return 1;
  }

  const Camera cameras[] = {
      {"Lanticam", VOR_FAMILY_LANTICAM, 0x1001},
      {"Tornio", VOR_FAMILY_TORNIO, 0x2002},
      {"QD4", VOR_FAMILY_QD4, 0x3003},
      {"family 4 (no library)", 4, 0x4004},
  };
  int failures = 0;
  for (const Camera& camera : cameras) {
    void* hCam = reinterpret_cast<void*>(camera.handle);
    printf("%-22s VInitLibrary(%#llx, %d) = 0x%08lx\n", camera.name,
           static_cast<unsigned long long>(camera.handle), camera.family,
           static_cast<unsigned long>(api.InitLibrary(hCam, camera.family)));
    for (int i = 0; i < 2; ++i) {
      int16_t number = -1;
      uint32_t event = 0;
      const uint32_t result = api.AllocateBuffer(hCam, &number, 640 * 480 * 2, 0, &event);
      printf("%-22s VAllocateBuffer -> 0x%08lx, buffer %d, event %#lx\n", "", static_cast<unsigned long>(result),
             number, static_cast<unsigned long>(event));
      if (camera.family <= 3 && result != 0) ++failures;
    }
    const uint32_t freed = api.FreeBuffer(hCam, 0);
    printf("%-22s VFreeBuffer(0) = 0x%08lx\n", "", static_cast<unsigned long>(freed));
    const uint32_t cleaned = api.cleanup(hCam);
    printf("%-22s Vcleanup = 0x%08lx\n", "", static_cast<unsigned long>(cleaned));
  }
  FreeLibrary(dll);
  printf(failures == 0 ? "demo finished\n" : "demo finished with %d failures\n", failures);
  return failures == 0 ? 0 : 1;
}
