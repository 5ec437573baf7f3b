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

// A new numeric array handle: one 32-bit size per dimension, then the elements, all poisoned
// (0xA5).  Its block is exactly that size as DSGetHandleSize reports it; `guard` more poisoned
// bytes follow it in memory, so a write past the block can be seen.
void** LvNewArray(const int32_t* sizes, int dimensions, size_t elementBytes, size_t guard = 64);
// True when the array's elements from byte `from` on, and its guard bytes, still hold the poison.
bool LvArrayPoisonFrom(void** handle, int dimensions, size_t from);

// How many times DSCheckHandle was asked; it answers 0 for a live handle made here, else 3.
long LvHandleChecks();

extern "C" int32_t DSSetHandleSize(void* handle, size_t size);
extern "C" int32_t DSCheckHandle(void* handle);
extern "C" int32_t DSGetHandleSize(void* handle);
