// The image exports with this program as the LabVIEW host, whose memory manager tells the
// module the real size of an array's block: an array whose element type does not match the
// bits per pixel is refused instead of written past its end.
#include <windows.h>

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
