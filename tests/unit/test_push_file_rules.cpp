// The push-file record and file-name rules, linked directly.
#include <string.h>

#include "recording/push_file.h"
#include "wtest.h"

namespace {

bool NoLeadBytes(unsigned char) { return false; }
bool ShiftJisLead(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

std::string Name(const char* name, bool (*lead)(unsigned char) = NoLeadBytes) {
  char out[260];
  memset(out, 0, sizeof out);
  if (!BuildPushFileName(name, "C:\\lv\\", lead, out, sizeof out)) return "(refused)";
  return out;
}

template <typename T>
T At(const PushImageInfo& info, size_t offset) {
  T value;
  memcpy(&value, reinterpret_cast<const uint8_t*>(&info) + offset, sizeof value);
  return value;
}

}  // namespace

TEST_CASE(file_name_rules) {
  ok_eq_str("C:\\lv\\run1.tif", Name("run1"));
  ok_eq_str("C:\\data\\run1.tif", Name("C:\\data\\run1.tif"));
  ok_eq_str("C:\\lv\\run1.TIF.tif", Name("run1.TIF"));
  ok_eq_str("C:\\lv\\mytif", Name("mytif"));
  ok_eq_str("C:\\lv\\C:/data/run1.tif", Name("C:/data/run1.tif"));
  ok_eq_str("C:\\lv\\tif", Name("tif"));
  ok_eq_str("C:\\lv\\ti.tif", Name("ti"));
  ok_eq_str("C:\\lv\\.tif", Name(nullptr));
  ok_eq_str("C:\\lv\\.tif", Name(""));
  // 0x5C after a lead byte is a trail byte, not a backslash.
  ok_eq_str("C:\\lv\\\x83\x5C.tif", Name("\x83\x5C", ShiftJisLead));
  ok_eq_str("\x83\x5C\\x.tif", Name("\x83\x5C\\x", ShiftJisLead));
}

TEST_CASE(file_names_that_do_not_fit_are_refused) {
  char out[260];
  memset(out, 0x5A, sizeof out);
  const std::string fits(260 - 1 - 6 - 4, 'a');  // folder "C:\lv\" and ".tif"
  ok(BuildPushFileName(fits.c_str(), "C:\\lv\\", NoLeadBytes, out, sizeof out), "a name of 259 bytes refused");
  ok_eq_int(259, strlen(out));
  const std::string tooLong = fits + "a";
  memset(out, 0x5A, sizeof out);
  ok(!BuildPushFileName(tooLong.c_str(), "C:\\lv\\", NoLeadBytes, out, sizeof out), "a name of 260 bytes taken");
  ok(static_cast<unsigned char>(out[0]) == 0x5A, "a refused name was written");
}

TEST_CASE(record_values_at_their_offsets) {
  PushImageInfo info;
  memset(&info, 0xEE, sizeof info);
  info.source074 = 0x12345678;
  FillPushImageInfo(&info, 640, 480, 12, 3);
  ok_eq_int(640, At<uint32_t>(info, 0x01C));
  ok_eq_int(480, At<uint32_t>(info, 0x020));
  const size_t mPlaces[] = {0x054, 0x060, 0x068, 0x070, 0x084, 0x090, 0x098, 0x0A0};
  for (size_t offset : mPlaces) ok(At<uint32_t>(info, offset) == 4097, "M at 0x%03x", static_cast<unsigned>(offset));
  const size_t zeros[] = {0x050, 0x058, 0x05C, 0x064, 0x06C, 0x080, 0x088, 0x08C, 0x094, 0x09C, 0x0DC, 0x0E0,
                          0x0E8, 0x0EC, 0x13C, 0x140, 0x144, 0x148, 0x14C, 0x150, 0x154, 0x158, 0x15C, 0x160, 0x164};
  for (size_t offset : zeros) ok(At<uint32_t>(info, offset) == 0 || offset == 0x150, "zero at 0x%03x", static_cast<unsigned>(offset));
  ok_eq_hex(0, At<uint16_t>(info, 0x150));
  ok_eq_hex(0x8000, At<uint16_t>(info, 0x152));
  ok_eq_hex(0x12345678, At<uint32_t>(info, 0x0A4));
  ok_eq_int(1, At<uint8_t>(info, 0x0A8));
  for (size_t offset = 0x0AC; offset <= 0x0C4; offset += 8) ok(At<double>(info, offset) == 1.0, "gain at 0x%03x", static_cast<unsigned>(offset));
  ok_eq_int(3, At<int32_t>(info, 0x0CC));
  ok_eq_int(12, At<uint32_t>(info, 0x0D0));
  ok(At<double>(info, 0x0D4) == 100.0, "100.0 at 0x0D4");
  ok_eq_int(6500, At<uint32_t>(info, 0x0E4));
  ok_eq_int(100, At<uint32_t>(info, 0x0F0));
  for (int i = 0; i < 9; ++i) {
    ok(At<double>(info, 0x0F4 + 8 * i) == (i % 4 == 0 ? 1.0 : 0.0), "matrix element %d", i);
  }
  // Bytes the module does not own keep what they held.
  const size_t unset[] = {0x008, 0x01B, 0x024, 0x04F, 0x078, 0x07F, 0x0A9, 0x0AB, 0x168, 0x1FF};
  for (size_t offset : unset) ok(At<uint8_t>(info, offset) == 0xEE, "byte 0x%03x was written", static_cast<unsigned>(offset));
  ok_eq_hex(0x12345678, At<uint32_t>(info, 0x074));
}

TEST_CASE(levels_and_modes) {
  ok_eq_int(257, LevelCount(8));
  ok_eq_int(4097, LevelCount(12));
  ok_eq_int(65537, LevelCount(16));
  ok_eq_int(2, LevelCount(0));
  ok_eq_int(1, LevelCount(40));  // 2^40 does not fit: the wrap-around is defined, not undefined
  PushImageInfo info = {};
  for (int32_t mode : {5, -1, 4}) {
    WTEST_CONTEXT("mode %d", mode);
    FillPushImageInfo(&info, 1, 1, 8, mode);
    ok(info.mode == 0, "mode %d stored as %d", mode, info.mode);
  }
  FillPushImageInfo(&info, 1, 1, 8, 3);
  ok_eq_int(3, info.mode);
  ok_eq_int(257, info.levels050[1]);
}
