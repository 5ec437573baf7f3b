// The buffer registry: camera registrations (buffer number -1) and buffers, newest first.
//
// Pure logic: no Win32 calls.  Callers hold the camera lock (camera_lock.h) around every use.
#pragma once

#include <stdint.h>

struct BufferRecord {
  void*    picPtr = nullptr;  // buffer memory as the SDK returned it; null in a registration
  int32_t  bufNr  = -1;       // SDK buffer number, sign-extended; -1 marks a registration
  uint32_t size   = 0;        // bytes the caller asked for; 0 in a registration
  void*    hEvent = nullptr;  // the caller's 32-bit event value, zero-extended; 0 in a registration
  void*    hCam   = nullptr;  // the caller's camera handle, compared by value only
  int32_t  family = 0;        // CameraFamily of the camera's registration
};

constexpr int32_t kRegistrationBufNr = -1;
constexpr int32_t kNoFamily = -1;

namespace BufferRegistry {

// Inserts at the front.  Returns false, leaving the registry unchanged, when no list node
// can be had; the record then still belongs to the caller.
bool Add(BufferRecord* record) noexcept;
int32_t Count() noexcept;
BufferRecord* At(int32_t index) noexcept;
BufferRecord* FindBuffer(void* hCam, int32_t bufNr) noexcept;
int32_t FamilyOf(void* hCam) noexcept;
void Remove(BufferRecord* record) noexcept;  // unlinks only; the caller deletes the record
void Clear() noexcept;                       // deletes every record and node

}  // namespace BufferRegistry
