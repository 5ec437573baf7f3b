// The buffer registry: a doubly linked list of record pointers, newest first.
#include "camera/registry.h"

#include <new>

struct RegistryNode {
  BufferRecord* record;
  RegistryNode* prev;
  RegistryNode* next;
};

namespace {

// The one registry of the process.  Guarded by the registry lock, held by the callers.
struct RegistryState {
  RegistryNode* first;
  RegistryNode* last;
  int32_t count;
};

RegistryState s_registry = {nullptr, nullptr, 0};

bool Matches(const BufferRecord& record, void* hCam, int32_t bufNr) noexcept {
  return record.bufNr == bufNr && record.hCam == hCam;
}

}  // namespace

namespace BufferRegistry {

bool Add(BufferRecord* record) noexcept {
  RegistryNode* node = new (std::nothrow) RegistryNode{record, nullptr, s_registry.first};
  if (node == nullptr) return false;
  if (s_registry.first != nullptr) {
    s_registry.first->prev = node;
  } else {
    s_registry.last = node;
  }
  s_registry.first = node;
  record->node = node;
  ++s_registry.count;
  return true;
}

int32_t Count() noexcept { return s_registry.count; }

BufferRecord* At(int32_t index) noexcept {
  if (index < 0 || index >= s_registry.count) return nullptr;
  RegistryNode* node = s_registry.first;
  for (int32_t i = 0; i < index && node != nullptr; ++i) node = node->next;
  return node != nullptr ? node->record : nullptr;
}

BufferRecord* FindBuffer(void* hCam, int32_t bufNr) noexcept {
  for (RegistryNode* node = s_registry.first; node != nullptr; node = node->next) {
    if (Matches(*node->record, hCam, bufNr)) return node->record;
  }
  return nullptr;
}

int32_t FamilyOf(void* hCam) noexcept {
  BufferRecord* registration = FindBuffer(hCam, kRegistrationBufNr);
  return registration != nullptr ? registration->family : kNoFamily;
}

BufferRecord* FindLive(void* hCam, int32_t bufNr) noexcept {
  for (RegistryNode* node = s_registry.first; node != nullptr; node = node->next) {
    BufferRecord* record = node->record;
    if (Matches(*record, hCam, bufNr) && !record->retiring.load()) return record;
  }
  return nullptr;
}

BufferRecord* LiveRegistration(void* hCam) noexcept {
  // A camera registered with family -1 cannot be told from an unregistered one.
  BufferRecord* registration = FindLive(hCam, kRegistrationBufNr);
  return registration != nullptr && registration->family != kNoFamily ? registration : nullptr;
}

void Remove(BufferRecord* record) noexcept {
  RegistryNode* node = record->node;
  if (node == nullptr || node->record != record) return;
  if (node->prev != nullptr) node->prev->next = node->next; else s_registry.first = node->next;
  if (node->next != nullptr) node->next->prev = node->prev; else s_registry.last = node->prev;
  record->node = nullptr;
  delete node;
  --s_registry.count;
}

void Clear() noexcept {
  RegistryNode* node = s_registry.first;
  while (node != nullptr) {
    RegistryNode* next = node->next;
    delete node->record;
    delete node;
    node = next;
  }
  s_registry = RegistryState{nullptr, nullptr, 0};
}

RegistryNode* First() noexcept { return s_registry.first; }
BufferRecord* RecordOf(const RegistryNode* node) noexcept { return node->record; }
RegistryNode* Next(const RegistryNode* node) noexcept { return node->next; }

}  // namespace BufferRegistry
