// The LabVIEW stand-in's memory manager: LabVIEW-style handles and a real DSSetHandleSize.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "vorlabview.h"

// What DSSetHandleSize saw, for the tests to assert.
struct LvMemoryCalls {
  long count;
  void* lastHandle;
  size_t lastSize;
};

// A new string handle holding `text` (count and characters), in a block of `extra` more bytes.
VLVStringHandle LvNewString(const char* text, size_t extra = 0);
void LvDisposeHandle(void* handle);
// The block's current size in bytes.
size_t LvBlockSize(void* handle);

LvMemoryCalls LvCalls();
void LvResetCalls();
// With `fail` set, DSSetHandleSize reports mFullErr (2) and changes nothing.
void LvFailResize(bool fail);

extern "C" int32_t DSSetHandleSize(void* handle, size_t size);
