// The buffer registry: a doubly linked list of record pointers, newest first.
#include "camera/registry.h"

#include <new>

namespace {

struct Node {
  BufferRecord* record;
  Node* prev;
  Node* next;
};

// The one registry of the process.  Guarded by the camera lock, held by the callers.
struct RegistryState {
  Node* first;
  Node* last;
  int32_t count;
};

RegistryState s_registry = {nullptr, nullptr, 0};

}  // namespace

namespace BufferRegistry {

bool Add(BufferRecord* record) noexcept {
  Node* node = new (std::nothrow) Node{record, nullptr, s_registry.first};
  if (node == nullptr) return false;
  if (s_registry.first != nullptr) {
    s_registry.first->prev = node;
  } else {
    s_registry.last = node;
  }
  s_registry.first = node;
  ++s_registry.count;
  return true;
}

int32_t Count() noexcept { return s_registry.count; }

BufferRecord* At(int32_t index) noexcept {
  if (index < 0 || index >= s_registry.count) return nullptr;
  Node* node = s_registry.first;
  for (int32_t i = 0; i < index && node != nullptr; ++i) node = node->next;
  return node != nullptr ? node->record : nullptr;
}

BufferRecord* FindBuffer(void* hCam, int32_t bufNr) noexcept {
  const int32_t count = s_registry.count;
  Node* node = s_registry.first;
  for (int32_t i = 0; i < count && node != nullptr; ++i, node = node->next) {
    BufferRecord* record = node->record;
    if (record->bufNr == bufNr && record->hCam == hCam) return record;
  }
  return nullptr;
}

int32_t FamilyOf(void* hCam) noexcept {
  BufferRecord* registration = FindBuffer(hCam, kRegistrationBufNr);
  return registration != nullptr ? registration->family : kNoFamily;
}

void Remove(BufferRecord* record) noexcept {
  for (Node* node = s_registry.first; node != nullptr; node = node->next) {
    if (node->record != record) continue;
    if (node->prev != nullptr) node->prev->next = node->next; else s_registry.first = node->next;
    if (node->next != nullptr) node->next->prev = node->prev; else s_registry.last = node->prev;
    delete node;
    --s_registry.count;
    return;
  }
}

void Clear() noexcept {
  Node* node = s_registry.first;
  while (node != nullptr) {
    Node* next = node->next;
    delete node->record;
    delete node;
    node = next;
  }
  s_registry = RegistryState{nullptr, nullptr, 0};
}

}  // namespace BufferRegistry
