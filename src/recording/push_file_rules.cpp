// Push-file recording's pure logic: filling the image description and the file-name rule.
#include "recording/push_file.h"

#include <string.h>

uint32_t LevelCount(uint16_t bitsPerPixel) noexcept {
  // 2^bits wraps to 0 in 32 bits from 32 bits on.
  return (bitsPerPixel < 32 ? (uint32_t{1} << bitsPerPixel) : 0u) + 1u;
}

void FillPushImageInfo(PushImageInfo* info, uint16_t width, uint16_t height, uint16_t bitsPerPixel,
                       int32_t mode) noexcept {
  const uint32_t m = LevelCount(bitsPerPixel);
  const uint32_t levels[9] = {0, m, 0, 0, m, 0, m, 0, m};
  info->width = width;
  info->height = height;
  memcpy(info->levels050, levels, sizeof levels);
  memcpy(info->levels080, levels, sizeof levels);
  info->copy0A4 = info->source074;
  info->one0A8 = 1;
  for (double& gain : info->gains0AC) gain = 1.0;
  info->mode = mode >= 0 && mode <= 3 ? mode : 0;
  info->bitsPerPixel = bitsPerPixel;
  info->value0D4 = 100.0;
  info->zero0DC = 0;
  info->zero0E0 = 0;
  info->value0E4 = 6500;
  info->zero0E8 = 0;
  info->zero0EC = 0;
  info->value0F0 = 100;
  for (int i = 0; i < 9; ++i) info->matrix0F4[i] = (i % 4 == 0) ? 1.0 : 0.0;
  info->zero13C = 0;
  memset(info->zeros140, 0, sizeof info->zeros140);
  memset(info->zeros148, 0, sizeof info->zeros148);
  info->zero150 = 0;
  info->value152 = 0x8000;
  info->zero154 = 0;
  info->zero158 = 0;
  memset(info->zeros15C, 0, sizeof info->zeros15C);
  info->zero160 = 0;
  info->zero164 = 0;
}

namespace {

bool HasBackslash(const char* text, bool (*isLeadByte)(unsigned char)) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
    if (*p == '\\') return true;
    if (isLeadByte(*p) && p[1] != '\0') ++p;  // skip the trail byte
  }
  return false;
}

}  // namespace

bool BuildPushFileName(const char* name, const char* folder, bool (*isLeadByte)(unsigned char), char* out,
                       size_t size) noexcept {
  if (name == nullptr) name = "";
  const size_t nameLength = strlen(name);
  const bool endsInTif = nameLength >= 3 ? strcmp(name + nameLength - 3, "tif") == 0 : strcmp(name, "tif") == 0;
  const char* suffix = endsInTif ? "" : ".tif";
  // The backslash test looks at the name as it will be, suffix included (which has none).
  const char* prefix = HasBackslash(name, isLeadByte) ? "" : folder;
  const size_t total = strlen(prefix) + nameLength + strlen(suffix);
  if (total + 1 > size) return false;
  strcpy(out, prefix);
  strcat(out, name);
  strcat(out, suffix);
  return true;
}
