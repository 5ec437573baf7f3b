// Push-file recording: the image-description record handed to the file plug-in, the file
// object's operations, and the rules for the recording's file name.  The record layout and
// the name rule are pure logic, free of Win32 calls.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The image description, laid out by fixed offsets (packed, little-endian).  Fields whose
// meaning is the plug-in's are named by their offset.
#pragma pack(push, 1)
struct PushImageInfo {
  void* picture;               // 0x000 address of the buffer being pushed
  uint8_t unset008[20];        // 0x008
  uint32_t width;              // 0x01C
  uint32_t height;             // 0x020
  uint8_t unset024[44];        // 0x024
  uint32_t levels050[9];       // 0x050 0, M, 0, 0, M, 0, M, 0, M
  uint32_t source074;          // 0x074 read only: copied to 0x0A4
  uint8_t unset078[8];         // 0x078
  uint32_t levels080[9];       // 0x080 0, M, 0, 0, M, 0, M, 0, M
  uint32_t copy0A4;            // 0x0A4 the value at 0x074
  uint8_t one0A8;              // 0x0A8 1
  uint8_t unset0A9[3];         // 0x0A9
  double gains0AC[4];          // 0x0AC 1.0 each
  int32_t mode;                // 0x0CC 0 to 3
  uint32_t bitsPerPixel;       // 0x0D0
  double value0D4;             // 0x0D4 100.0
  uint32_t zero0DC;            // 0x0DC
  uint32_t zero0E0;            // 0x0E0
  uint32_t value0E4;           // 0x0E4 6500
  uint32_t zero0E8;            // 0x0E8
  uint32_t zero0EC;            // 0x0EC
  uint32_t value0F0;           // 0x0F0 100
  double matrix0F4[9];         // 0x0F4 3 x 3 identity
  uint32_t zero13C;            // 0x13C
  uint16_t zeros140[4];        // 0x140
  uint8_t zeros148[8];         // 0x148
  uint16_t zero150;            // 0x150
  uint16_t value152;           // 0x152 0x8000
  uint32_t zero154;            // 0x154
  uint32_t zero158;            // 0x158
  uint8_t zeros15C[4];         // 0x15C
  uint32_t zero160;            // 0x160
  uint32_t zero164;            // 0x164
  uint8_t room168[0x98];       // 0x168 never written by the module: room for a plug-in
};
#pragma pack(pop)

static_assert(offsetof(PushImageInfo, width) == 0x01C, "width");
static_assert(offsetof(PushImageInfo, height) == 0x020, "height");
static_assert(offsetof(PushImageInfo, levels050) == 0x050, "levels at 0x050");
static_assert(offsetof(PushImageInfo, source074) == 0x074, "0x074");
static_assert(offsetof(PushImageInfo, levels080) == 0x080, "levels at 0x080");
static_assert(offsetof(PushImageInfo, copy0A4) == 0x0A4, "0x0A4");
static_assert(offsetof(PushImageInfo, one0A8) == 0x0A8, "0x0A8");
static_assert(offsetof(PushImageInfo, gains0AC) == 0x0AC, "0x0AC");
static_assert(offsetof(PushImageInfo, mode) == 0x0CC, "mode");
static_assert(offsetof(PushImageInfo, bitsPerPixel) == 0x0D0, "bits per pixel");
static_assert(offsetof(PushImageInfo, value0D4) == 0x0D4, "0x0D4");
static_assert(offsetof(PushImageInfo, value0E4) == 0x0E4, "0x0E4");
static_assert(offsetof(PushImageInfo, value0F0) == 0x0F0, "0x0F0");
static_assert(offsetof(PushImageInfo, matrix0F4) == 0x0F4, "0x0F4");
static_assert(offsetof(PushImageInfo, zero13C) == 0x13C, "0x13C");
static_assert(offsetof(PushImageInfo, zeros140) == 0x140, "0x140");
static_assert(offsetof(PushImageInfo, zeros148) == 0x148, "0x148");
static_assert(offsetof(PushImageInfo, value152) == 0x152, "0x152");
static_assert(offsetof(PushImageInfo, zeros15C) == 0x15C, "0x15C");
static_assert(offsetof(PushImageInfo, zero164) == 0x164, "0x164");
static_assert(offsetof(PushImageInfo, room168) == 0x168, "end of the written part");

// Writes every field the module owns; the bytes marked unset keep their values.
void FillPushImageInfo(PushImageInfo* info, uint16_t width, uint16_t height, uint16_t bitsPerPixel,
                       int32_t mode) noexcept;

// M of the record: 2 to the power of the bits per pixel, plus 1.
uint32_t LevelCount(uint16_t bitsPerPixel) noexcept;

// The recording's full file name: ".tif" appended unless the name ends in "tif" (compared
// case-sensitively, a shorter name whole), and `folder` (ending in a backslash) put in front
// when the name then has no backslash.  A null name counts as empty.  `isLeadByte` tells the
// lead bytes of the current code page, whose trail bytes are never a backslash.
// Returns false, writing nothing, when the result would not fit `size` bytes.
bool BuildPushFileName(const char* name, const char* folder, bool (*isLeadByte)(unsigned char), char* out,
                       size_t size) noexcept;

// Closes the recording when `hCam` owns it (the file complete), as VClosePushFile does; for the
// end of a VI whose node registered the camera.  Returns VClosePushFile's result.
uint32_t CloseRecordingOf(void* hCam) noexcept;

constexpr size_t kRecordingNameSize = 260;

// The recording as the state report shows it.
struct RecordingReport {
  bool open;
  void* owner;                        // the camera that opened it
  char fileName[kRecordingNameSize];  // its full file name
  uint64_t pages;                     // pages its pushes wrote
};
void ReportRecording(RecordingReport* report) noexcept;
