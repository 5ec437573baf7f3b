// Image copies into LabVIEW arrays and QD4 camera-memory reads, through the real DLL.
#include <windows.h>

#include "camera_rig.h"
#include "lv_array.h"

namespace {

// A rig with one registered camera of `family` and one filled buffer 0 of `size` bytes.
struct FilledBuffer {
  explicit FilledBuffer(const char* name, int32_t family, uint32_t size, uint32_t seed = 11) : rig(name) {
    ready = rig.loaded && rig.Init(Cam(0xF0), family) && rig.NewBuffer(Cam(0xF0), size) == 0;
    if (ready) {
      sim = rig.Sim(family);
      sim.FillBuffer(Cam(0xF0), 0, seed, 0);
      memory = static_cast<const uint8_t*>(sim.BufferAddress(Cam(0xF0), 0));
    }
  }
  CameraRig rig;
  SimApi sim;
  const uint8_t* memory = nullptr;
  bool ready = false;
};

}  // namespace

TEST_CASE(pixel_width_follows_bits_per_pixel) {
  struct Width { uint16_t bits; size_t bytes; };
  const Width widths[] = {{8, 1}, {9, 2}, {16, 2}, {0, 1}, {1, 1}, {12, 2}};
  FilledBuffer f("image_width", 2, 4096);
  if (!f.ready) return;
  for (const Width& w : widths) {
    WTEST_CONTEXT("%u bits per pixel", w.bits);
    LvArray array({16 * 16}, 2);
    ok_eq_hex(0, f.rig.host.api.GetImageFromBuffer(Cam(0xF0), 0, 16, 16, w.bits, array.handle()));
    const size_t count = 16 * 16 * w.bytes;
    ok(memcmp(array.elements(), f.memory, count) == 0 && array.PoisonFrom(count),
       "%u bits per pixel did not copy exactly %u bytes", w.bits, static_cast<unsigned>(count));
  }
}

TEST_CASE(vga_12_bit_frame_into_1d_and_2d_arrays) {
  FilledBuffer f("image_vga", 1, 640 * 480 * 2);
  if (!f.ready) return;
  LvArray flat({640 * 480}, 2);
  ok_eq_hex(0, f.rig.host.api.GetImageFromBuffer(Cam(0xF0), 0, 640, 480, 12, flat.handle()));
  ok(memcmp(flat.elements(), f.memory, 614400) == 0, "1-D copy differs from the buffer");
  ok(flat.PoisonFrom(614400), "1-D copy wrote past 614400 bytes");
  ok_eq_int(640 * 480, flat.dimension(0));

  LvArray grid({480, 640}, 2);
  ok_eq_hex(0, f.rig.host.api.GetImageFromBuffer2D(Cam(0xF0), 0, 640, 480, 12, grid.handle()));
  ok(memcmp(grid.elements(), f.memory, 614400) == 0, "2-D copy differs from the buffer");
  ok(grid.PoisonFrom(614400), "2-D copy wrote past 614400 bytes");
  ok_eq_int(480, grid.dimension(0));
  ok_eq_int(640, grid.dimension(1));
}

TEST_CASE(copies_refuse_unknown_buffers_and_null_handles) {
  FilledBuffer f("image_refuse", 3, 256);
  if (!f.ready) return;
  const ModuleApi& api = f.rig.host.api;
  LvArray array({256}, 1);
  ok_eq_hex(VOR_ERR_BUFFER_NOT_REGISTERED, api.GetImageFromBuffer(Cam(0xF0), 1, 16, 16, 8, array.handle()));
  ok_eq_hex(VOR_ERR_BUFFER_NOT_REGISTERED, api.GetImageFromBuffer2D(Cam(0xF0), -1, 16, 16, 8, array.handle()));
  ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, api.GetImageFromBuffer(Cam(0xF1), 0, 16, 16, 8, array.handle()));
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, api.GetImageFromBuffer(Cam(0xF0), 0, 16, 16, 8, nullptr));
  void* nullBlock = nullptr;
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, api.GetImageFromBuffer2D(Cam(0xF0), 0, 16, 16, 8, &nullBlock));
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, api.GetImageFromCamRam(Cam(0xF0), 0, 1, 0, 0, nullptr));
  ok_eq_hex(VOR_ERR_WRONG_PARAMETER, api.GetImageExFromCamRam(Cam(0xF0), 0, 1, 1, 0, 16, 16, 8, &nullBlock));
  ok(array.Untouched(), "a refused copy wrote into the array");
  ok_eq_int(0, f.sim.Calls("VOR_GetImage").size() + f.sim.Calls("VOR_GetImageEx").size());
}

TEST_CASE(copies_never_run_past_buffer_or_array) {
  FilledBuffer f("image_bounds", 1, 1000);
  if (!f.ready) return;
  const ModuleApi& api = f.rig.host.api;
  // 32 x 32 bytes is more than the buffer's 1000.
  LvArray big({4096}, 1);
  ok_eq_hex(VOR_ERR_BUFFER_TOO_SMALL, api.GetImageFromBuffer(Cam(0xF0), 0, 32, 32, 8, big.handle()));
  ok(big.Untouched(), "an over-long copy wrote into the array");
  // 20 x 20 x 2 bytes fits the buffer, not an array of 20 x 10 16-bit elements.
  LvArray small({10, 20}, 2);
  ok_eq_hex(VOR_ERR_BUFFER_TOO_SMALL, api.GetImageFromBuffer2D(Cam(0xF0), 0, 20, 20, 16, small.handle()));
  ok(small.Untouched(), "a copy larger than the array wrote into it");
  LvArray exact({10, 20}, 2);
  ok_eq_hex(0, api.GetImageFromBuffer2D(Cam(0xF0), 0, 20, 10, 16, exact.handle()));
  ok(exact.PoisonFrom(400), "an exact copy wrote past the array");
  // Width x height x 2 bytes overflowing 16 bits of arithmetic is still refused.
  ok_eq_hex(VOR_ERR_BUFFER_TOO_SMALL, api.GetImageFromBuffer(Cam(0xF0), 0, 65535, 65535, 16, big.handle()));
}

TEST_CASE(cam_ram_reads_only_for_qd4) {
  for (int32_t family = 1; family <= 2; ++family) {
    WTEST_CONTEXT("family %d", family);
    FilledBuffer f("camram_family", family, 256);
    if (!f.ready) return;
    f.sim.TraceClear();
    LvArray array({128}, 2);
    ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, f.rig.host.api.GetImageFromCamRam(Cam(0xF0), 0, 1, 0, 0, array.handle()));
    ok_eq_hex(VOR_ERR_OPTION_NOT_AVAILABLE, f.rig.host.api.GetImageExFromCamRam(Cam(0xF0), 0, 1, 1, 0, 16, 16, 8, array.handle()));
    ok_eq_int(0, f.sim.Trace().size());
    ok(array.Untouched(), "family %d: the array was written", family);
  }
}

TEST_CASE(cam_ram_read_copies_the_image_read) {
  FilledBuffer f("camram_read", 3, 512);
  if (!f.ready) return;
  const ModuleApi& api = f.rig.host.api;
  f.sim.TraceClear();
  // The plain read copies the buffer's whole size into 16-bit elements.
  LvArray array({256}, 2);
  ok_eq_hex(0, api.GetImageFromCamRam(Cam(0xF0), 2, 7, 0x12345, 0, array.handle()));
  std::vector<std::string> trace = f.sim.Trace();
  if (ok_eq_int(2, trace.size())) {
    ok_eq_str("VOR_GetPendingBuffer h=f0 -> 0", trace[0]);
    ok_eq_str("VOR_GetImage h=f0 seg=2 first=7 last=7 n=0 -> 0", trace[1]);
  }
  bool same = true;
  for (size_t i = 0; i < 512; ++i) same &= array.elements()[i] == SimPatternByte(2007, i);
  ok(same && array.PoisonFrom(512), "the copy is not image 7 of segment 2");

  // Pending images are cancelled first.
  f.sim.SetPending(Cam(0xF0), 3);
  f.sim.TraceClear();
  LvArray ex({16 * 8}, 1);
  ok_eq_hex(0, api.GetImageExFromCamRam(Cam(0xF0), 1, 4, 9, 0, 16, 8, 8, ex.handle()));
  trace = f.sim.Trace();
  if (ok_eq_int(3, trace.size())) {
    ok_eq_str("VOR_CancelImages h=f0 -> 0", trace[1]);
    ok_eq_str("VOR_GetImageEx h=f0 seg=1 first=4 last=9 n=0 width=16 height=8 bpp=8 -> 0", trace[2]);
  }
  same = true;
  for (size_t i = 0; i < 128; ++i) same &= ex.elements()[i] == SimPatternByte(1004, i);
  ok(same && ex.PoisonFrom(128), "the Ex copy is not 16 x 8 bytes of image 4 of segment 1");

  // A buffer larger than the array is refused; an unregistered buffer too.
  LvArray tooSmall({255}, 2);
  ok_eq_hex(VOR_ERR_BUFFER_TOO_SMALL, api.GetImageFromCamRam(Cam(0xF0), 0, 1, 0, 0, tooSmall.handle()));
  ok(tooSmall.Untouched(), "a refused read wrote into the array");
  f.sim.Fail("VOR_GetImage", 0, 0, 0);
  ok_eq_int(0, ModuleHost::Boxes().size());
}

TEST_CASE(failed_cam_ram_read_shows_box_and_copies_nothing) {
  FilledBuffer f("camram_fail", 3, 256);
  if (!f.ready) return;
  const ModuleApi& api = f.rig.host.api;
  f.sim.Fail("VOR_GetImage", 0x80043099, 1, 0);
  LvArray array({128}, 2);
  ok_eq_hex(0x80043099, api.GetImageFromCamRam(Cam(0xF0), 3, 12, 0, 0, array.handle()));
  ok(array.Untouched(), "a failed read was copied");
  std::vector<BoxRecord> boxes = ModuleHost::Boxes();
  if (ok_eq_int(1, boxes.size())) {
    ok_eq_str("GetImage Error 80043099\n bufnr:0 \nsegment number: 3 \n firstimage:12 \nlastimage: 12",
              boxes[0].text);
    ok_eq_str("Error", boxes[0].caption);
    ok_eq_hex(MB_OK, boxes[0].style);
  }
  ModuleHost::ClearBoxes();
  f.sim.Fail("VOR_GetImageEx", 0x80043098, 1, 0);
  ok_eq_hex(0x80043098, api.GetImageExFromCamRam(Cam(0xF0), 65535, 5, 6, 0, 8, 8, 8, array.handle()));
  boxes = ModuleHost::Boxes();
  if (ok_eq_int(1, boxes.size())) {
    ok_eq_str("GetImage Error 80043098\n bufnr:0 \nsegment number: 65535 \n firstimage:5 \nlastimage: 6",
              boxes[0].text);
  }
  ok(array.Untouched(), "a failed Ex read was copied");
  // A number neither the SDK nor the module knows: the read's own failure.
  ok_eq_hex(SIM_ERR_NO_BUFFER, api.GetImageExFromCamRam(Cam(0xF0), 0, 1, 1, 0x44, 8, 8, 8, array.handle()));
}
