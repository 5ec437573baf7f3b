// The buffer registry: a doubly linked list of record pointers, newest first, with an index by
// camera and buffer number so that lookups do not walk the list.
#include "camera/registry.h"

#include <new>

struct RegistryNode {
  BufferRecord* record;
  RegistryNode* prev;  // the list, newest first
  RegistryNode* next;
  RegistryNode* bucketPrev;  // the index bucket's chain, newest first too
  RegistryNode* bucketNext;
  uint64_t added;  // when it was added, to keep a chain newest first
};

namespace {

constexpr uint32_t kFirstBuckets = 64;

// The one registry of the process.  Guarded by the registry lock, held by the callers.
struct RegistryState {
  RegistryNode* first;
  RegistryNode* last;
  int32_t count;
  RegistryNode** buckets;  // by camera and number; null while none could be had
  uint32_t bucketCount;    // a power of two
  uint64_t added;          // nodes added so far
};

RegistryState s_registry = {nullptr, nullptr, 0, nullptr, 0, 0};

bool Matches(const BufferRecord& record, void* hCam, int32_t bufNr) noexcept {
  return record.bufNr == bufNr && record.hCam == hCam;
}

uint32_t BucketOf(void* hCam, int32_t bufNr, uint32_t bucketCount) noexcept {
  uint64_t key = reinterpret_cast<uintptr_t>(hCam) * 0x9E3779B97F4A7C15ull ^ static_cast<uint32_t>(bufNr);
  key *= 0xBF58476D1CE4E5B9ull;
  return static_cast<uint32_t>(key >> 32) & (bucketCount - 1);
}

void LinkIntoBucket(RegistryNode* node, RegistryNode** buckets, uint32_t bucketCount) noexcept {
  RegistryNode*& head = buckets[BucketOf(node->record->hCam, node->record->bufNr, bucketCount)];
  node->bucketPrev = nullptr;
  node->bucketNext = head;
  if (head != nullptr) head->bucketPrev = node;
  head = node;
}

void UnlinkFromBucket(RegistryNode* node) noexcept {
  if (s_registry.buckets == nullptr) return;
  if (node->bucketPrev != nullptr) {
    node->bucketPrev->bucketNext = node->bucketNext;
  } else {
    s_registry.buckets[BucketOf(node->record->hCam, node->record->bufNr, s_registry.bucketCount)] = node->bucketNext;
  }
  if (node->bucketNext != nullptr) node->bucketNext->bucketPrev = node->bucketPrev;
}

// Keeps about one record per bucket.  Without memory for a larger index the old one stays: its
// chains only get longer.
void GrowIndex() noexcept {
  if (s_registry.buckets != nullptr && static_cast<uint32_t>(s_registry.count) <= s_registry.bucketCount) return;
  const uint32_t bucketCount = s_registry.bucketCount == 0 ? kFirstBuckets : s_registry.bucketCount * 2;
  RegistryNode** buckets = new (std::nothrow) RegistryNode*[bucketCount]();
  if (buckets == nullptr) return;
  // Oldest first, so each chain ends up newest first again.
  for (RegistryNode* node = s_registry.last; node != nullptr; node = node->prev) {
    LinkIntoBucket(node, buckets, bucketCount);
  }
  delete[] s_registry.buckets;
  s_registry.buckets = buckets;
  s_registry.bucketCount = bucketCount;
}

// The newest record of the camera with that number, live only or any.
BufferRecord* Find(void* hCam, int32_t bufNr, bool liveOnly) noexcept {
  RegistryNode* node = s_registry.buckets != nullptr
                           ? s_registry.buckets[BucketOf(hCam, bufNr, s_registry.bucketCount)]
                           : s_registry.first;
  for (; node != nullptr; node = s_registry.buckets != nullptr ? node->bucketNext : node->next) {
    BufferRecord* record = node->record;
    if (Matches(*record, hCam, bufNr) && !(liveOnly && record->retiring.load())) return record;
  }
  return nullptr;
}

}  // namespace

namespace BufferRegistry {

bool Add(BufferRecord* record) noexcept {
  RegistryNode* node =
      new (std::nothrow) RegistryNode{record, nullptr, s_registry.first, nullptr, nullptr, ++s_registry.added};
  if (node == nullptr) return false;
  if (s_registry.first != nullptr) {
    s_registry.first->prev = node;
  } else {
    s_registry.last = node;
  }
  s_registry.first = node;
  record->node = node;
  ++s_registry.count;
  if (s_registry.buckets != nullptr) LinkIntoBucket(node, s_registry.buckets, s_registry.bucketCount);
  GrowIndex();
  return true;
}

int32_t Count() noexcept { return s_registry.count; }

BufferRecord* At(int32_t index) noexcept {
  if (index < 0 || index >= s_registry.count) return nullptr;
  RegistryNode* node = s_registry.first;
  for (int32_t i = 0; i < index && node != nullptr; ++i) node = node->next;
  return node != nullptr ? node->record : nullptr;
}

BufferRecord* FindBuffer(void* hCam, int32_t bufNr) noexcept { return Find(hCam, bufNr, false); }

int32_t FamilyOf(void* hCam) noexcept {
  BufferRecord* registration = FindBuffer(hCam, kRegistrationBufNr);
  return registration != nullptr ? registration->family : kNoFamily;
}

BufferRecord* FindLive(void* hCam, int32_t bufNr) noexcept { return Find(hCam, bufNr, true); }

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
  UnlinkFromBucket(node);
  record->node = nullptr;
  delete node;
  --s_registry.count;
}

void Rekey(BufferRecord* record, void* hCam, int32_t bufNr) noexcept {
  RegistryNode* node = record->node;
  const bool indexed = node != nullptr && node->record == record && s_registry.buckets != nullptr;
  if (indexed) UnlinkFromBucket(node);
  record->hCam = hCam;
  record->bufNr = bufNr;
  if (!indexed) return;
  // Into the new chain by age, so that a lookup still finds the newest record of a key first.
  RegistryNode*& head = s_registry.buckets[BucketOf(hCam, bufNr, s_registry.bucketCount)];
  RegistryNode* before = nullptr;
  RegistryNode* after = head;
  while (after != nullptr && after->added > node->added) {
    before = after;
    after = after->bucketNext;
  }
  node->bucketPrev = before;
  node->bucketNext = after;
  if (before != nullptr) before->bucketNext = node; else head = node;
  if (after != nullptr) after->bucketPrev = node;
}

void Clear() noexcept {
  RegistryNode* node = s_registry.first;
  while (node != nullptr) {
    RegistryNode* next = node->next;
    delete node->record;
    delete node;
    node = next;
  }
  delete[] s_registry.buckets;
  s_registry = RegistryState{nullptr, nullptr, 0, nullptr, 0, 0};
}

RegistryNode* First() noexcept { return s_registry.first; }
BufferRecord* RecordOf(const RegistryNode* node) noexcept { return node->record; }
RegistryNode* Next(const RegistryNode* node) noexcept { return node->next; }

}  // namespace BufferRegistry
