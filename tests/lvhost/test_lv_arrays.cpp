// The image exports with this program as the LabVIEW host, whose memory manager tells the
// module the real size of an array's block: an array whose element type does not match the
// bits per pixel is refused instead of written past its end.
#include <windows.h>
#include <string.h>

#include "camera_rig.h"
#include "lv_memory.h"

namespace {

constexpr uint32_t kTooSmall = VOR_ERR_BUFFER_TOO_SMALL;

struct Copy {
  const char* name;
  int dimensions;
};

uint32_t CopyInto(CameraRig& rig, const Copy& copy, void* hCam, uint16_t width, uint16_t height, uint16_t bits,
                  void** array) {
  const ModuleApi& api = rig.host.api;
  if (copy.name[8] == 'C') return api.GetImageFromCamRam(hCam, 0, 1, 0, 0, array);          // VGetImageFromCamRam
  if (copy.name[8] == 'E') return api.GetImageExFromCamRam(hCam, 0, 1, 1, 0, width, height, bits, array);
  if (copy.dimensions == 2) return api.GetImageFromBuffer2D(hCam, 0, width, height, bits, array);
  return api.GetImageFromBuffer(hCam, 0, width, height, bits, array);
}

}  // namespace

TEST_CASE(arrays_smaller_than_their_sizes_suggest_are_refused) {
  const Copy copies[] = {{"VGetImageFromBuffer", 1}, {"VGetImageFromBuffer2D", 2}, {"VGetImageExFromCamRam", 1},
                         {"VGetImageFromCamRam", 1}};
  for (const Copy& copy : copies) {
    WTEST_CONTEXT("%s", copy.name);
    CameraRig rig("lv_arrays");
    if (!rig.loaded || !rig.Init(Cam(0x91), 3)) return;
    // A 64 x 32 image at 12 bits per pixel: 4096 bytes in the buffer.
    rig.NewBuffer(Cam(0x91), 4096);
    rig.Sim(3).FillBuffer(Cam(0x91), 0, 1, 0);

    // U8 elements where 12 bits per pixel need U16: sizes for 2048 pixels, a block of 2048 bytes.
    const int32_t oneD[] = {2048};
    const int32_t twoD[] = {32, 64};
    void** wrong = LvNewArray(copy.dimensions == 2 ? twoD : oneD, copy.dimensions, 1);
    ok_eq_hex(kTooSmall, CopyInto(rig, copy, Cam(0x91), 64, 32, 12, wrong));
    ok(LvArrayPoisonFrom(wrong, copy.dimensions, 0), "written into an array that was refused");

    // The same sizes with U16 elements take the image, and nothing past it.
    void** right = LvNewArray(copy.dimensions == 2 ? twoD : oneD, copy.dimensions, 2);
    ok_eq_hex(0, CopyInto(rig, copy, Cam(0x91), 64, 32, 12, right));
    const uint8_t* elements = static_cast<const uint8_t*>(*right) + 4 * copy.dimensions;
    ok(elements[0] != 0xA5 || elements[4095] != 0xA5, "nothing copied");
    ok(LvArrayPoisonFrom(right, copy.dimensions, 4096), "written past the block");
    LvDisposeHandle(wrong);
    LvDisposeHandle(right);
  }
}

// A node set to Array Data Pointer or C String Pointer passes the elements, not a handle: the
// module must ask LabVIEW's memory manager and refuse, not read the pixels as a pointer.
TEST_CASE(plain_pointers_where_handles_belong_are_refused) {
  CameraRig rig("lv_plain_pointers");
  if (!rig.loaded || !rig.Init(Cam(0x92), 3)) return;
  rig.NewBuffer(Cam(0x92), 4096);
  rig.Sim(3).FillBuffer(Cam(0x92), 0, 1, 0);
  const ModuleApi& api = rig.host.api;

  // Elements whose first bytes, read as a pointer, lead nowhere.
  uint8_t* elements = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, 8192));
  memset(elements, 0x5A, 8192);
  void** plain = reinterpret_cast<void**>(elements);
  const long checksBefore = LvHandleChecks();
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, api.GetImageFromBuffer(Cam(0x92), 0, 64, 32, 12, plain));
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, api.GetImageFromBuffer2D(Cam(0x92), 0, 64, 32, 12, plain));
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, api.GetImageFromCamRam(Cam(0x92), 0, 1, 0, 0, plain));
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, api.GetImageExFromCamRam(Cam(0x92), 0, 1, 1, 0, 64, 32, 12, plain));
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, api.GetErrorText(VOR_ERR_TIMEOUT, reinterpret_cast<VLVStringHandle>(elements)));
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, api.GetState(reinterpret_cast<VLVStringHandle>(elements)));
  ok_eq_int(6, LvHandleChecks() - checksBefore);
  bool untouched = true;
  for (int i = 0; i < 8192; ++i) untouched = untouched && elements[i] == 0x5A;
  ok(untouched, "a refused pointer was written through");
  HeapFree(GetProcessHeap(), 0, elements);

  // A disposed handle is no handle any more either.
  VLVStringHandle gone = LvNewString("old");
  LvDisposeHandle(gone);
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, api.GetErrorText(0, gone));
  // The camera is untouched by the refusals: a real array still gets the image.
  const int32_t sizes[] = {2048};
  void** right = LvNewArray(sizes, 1, 2);
  ok_eq_hex(0, api.GetImageFromBuffer(Cam(0x92), 0, 64, 32, 12, right));
  LvDisposeHandle(right);
}
