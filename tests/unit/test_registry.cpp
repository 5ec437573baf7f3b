// The buffer registry's order, lookups and removal, linked directly.
#include "camera/registry.h"
#include "wtest.h"

namespace {

void* Cam(uintptr_t value) { return reinterpret_cast<void*>(value); }

BufferRecord* NewRecord(void* hCam, int32_t bufNr, int32_t family, uint32_t size = 16) {
  BufferRecord* record = new BufferRecord;
  record->hCam = hCam;
  record->bufNr = bufNr;
  record->family = family;
  record->size = bufNr == kRegistrationBufNr ? 0 : size;
  return record;
}

// The list as seen from the front must agree with the count at every index.
void CheckConsistent() {
  const int32_t count = BufferRegistry::Count();
  for (int32_t i = 0; i < count; ++i) ok(BufferRegistry::At(i) != nullptr, "At(%d) of %d is none", i, count);
  ok(BufferRegistry::At(count) == nullptr, "At(Count) yields a record");
  ok(BufferRegistry::At(-1) == nullptr, "At(-1) yields a record");
}

}  // namespace

TEST_CASE(empty_registry_finds_nothing) {
  BufferRegistry::Clear();
  ok_eq_int(0, BufferRegistry::Count());
  ok(BufferRegistry::At(0) == nullptr, "At(0) on an empty registry");
  ok(BufferRegistry::FindBuffer(Cam(1), 0) == nullptr, "FindBuffer on an empty registry");
  ok(BufferRegistry::FindBuffer(Cam(1), -1) == nullptr, "FindBuffer(-1) on an empty registry");
  ok_eq_int(-1, BufferRegistry::FamilyOf(Cam(1)));
}

TEST_CASE(newest_record_comes_first) {
  BufferRegistry::Clear();
  BufferRecord* r1 = NewRecord(Cam(1), -1, 1);
  BufferRecord* r2 = NewRecord(Cam(1), 0, 1);
  BufferRecord* r3 = NewRecord(Cam(1), 1, 1);
  BufferRegistry::Add(r1);
  BufferRegistry::Add(r2);
  BufferRegistry::Add(r3);
  ok_eq_int(3, BufferRegistry::Count());
  ok(BufferRegistry::At(0) == r3, "At(0) is not the newest record");
  ok(BufferRegistry::At(1) == r2, "At(1) is not the middle record");
  ok(BufferRegistry::At(2) == r1, "At(2) is not the oldest record");
  CheckConsistent();
  BufferRegistry::Clear();
  ok_eq_int(0, BufferRegistry::Count());
}

TEST_CASE(lookups_match_camera_and_number) {
  BufferRegistry::Clear();
  BufferRecord* a0 = NewRecord(Cam(0xA), 0, 1);
  BufferRecord* b0 = NewRecord(Cam(0xB), 0, 2);
  // Handles that differ only above bit 31 are different cameras.
  BufferRecord* high = NewRecord(Cam(0x1000000000ull | 0xA), 0, 3);
  BufferRegistry::Add(a0);
  BufferRegistry::Add(b0);
  BufferRegistry::Add(high);
  ok(BufferRegistry::FindBuffer(Cam(0xA), 0) == a0, "camera A's buffer 0");
  ok(BufferRegistry::FindBuffer(Cam(0xB), 0) == b0, "camera B's buffer 0");
  ok(BufferRegistry::FindBuffer(Cam(0x1000000000ull | 0xA), 0) == high, "64-bit handle");
  ok(BufferRegistry::FindBuffer(Cam(0xA), 1) == nullptr, "a number camera A does not have");
  // A buffer record is no registration: the cameras are not registered.
  ok_eq_int(-1, BufferRegistry::FamilyOf(Cam(0xA)));
  BufferRegistry::Clear();
}

TEST_CASE(newest_registration_decides_family) {
  BufferRegistry::Clear();
  BufferRecord* first = NewRecord(Cam(7), -1, 1);
  BufferRecord* second = NewRecord(Cam(7), -1, 3);
  BufferRegistry::Add(first);
  BufferRegistry::Add(NewRecord(Cam(7), 0, 1));
  BufferRegistry::Add(second);
  ok_eq_int(3, BufferRegistry::FamilyOf(Cam(7)));
  ok_eq_int(3, BufferRegistry::Count());
  ok(BufferRegistry::FindBuffer(Cam(7), -1) == second, "FindBuffer(-1) is the newest registration");

  // Family -1 looks exactly like no registration.
  BufferRegistry::Add(NewRecord(Cam(8), -1, -1));
  ok_eq_int(-1, BufferRegistry::FamilyOf(Cam(8)));
  BufferRegistry::Clear();
}

TEST_CASE(remove_unlinks_at_both_ends_and_keeps_the_record) {
  BufferRegistry::Clear();
  BufferRecord* r[4];
  for (int i = 0; i < 4; ++i) {
    r[i] = NewRecord(Cam(1), i, 1);
    BufferRegistry::Add(r[i]);
  }
  // Front (newest), back (oldest), then the middle.
  BufferRegistry::Remove(r[3]);
  ok(BufferRegistry::At(0) == r[2], "after removing the front, At(0) is its successor");
  BufferRegistry::Remove(r[0]);
  ok(BufferRegistry::At(1) == r[1], "after removing the back, the last is its predecessor");
  ok_eq_int(2, BufferRegistry::Count());
  ok(BufferRegistry::FindBuffer(Cam(1), 3) == nullptr, "a removed record is still found");
  ok_eq_int(3, r[3]->bufNr);  // the record itself is untouched and still ours
  CheckConsistent();

  // Removing what is not there changes nothing.
  BufferRegistry::Remove(r[3]);
  ok_eq_int(2, BufferRegistry::Count());

  BufferRegistry::Remove(r[2]);
  BufferRegistry::Remove(r[1]);
  ok_eq_int(0, BufferRegistry::Count());
  ok(BufferRegistry::At(0) == nullptr, "emptied by Remove, At(0) yields a record");
  // Emptied by removal, the registry works as freshly cleared.
  BufferRecord* again = NewRecord(Cam(2), -1, 2);
  BufferRegistry::Add(again);
  ok(BufferRegistry::At(0) == again && BufferRegistry::Count() == 1, "registry unusable after emptying");
  for (BufferRecord* record : r) delete record;
  BufferRegistry::Clear();
}

TEST_CASE(remove_uses_identity_not_contents) {
  BufferRegistry::Clear();
  BufferRecord* older = NewRecord(Cam(5), 2, 1);
  BufferRecord* twin = NewRecord(Cam(5), 2, 1);
  BufferRegistry::Add(older);
  BufferRegistry::Add(twin);
  BufferRegistry::Remove(older);
  ok_eq_int(1, BufferRegistry::Count());
  ok(BufferRegistry::At(0) == twin, "Remove took the record with equal contents");
  delete older;
  BufferRegistry::Clear();
}

// The index by camera and number: lookups stay right as it grows past its first size, after
// removals from the middle, and for a record given another number; the newest record of a key
// is found first throughout.
TEST_CASE(index_finds_the_newest_record_of_each_key_as_it_grows) {
  BufferRegistry::Clear();
  std::vector<BufferRecord*> records;
  for (int i = 0; i < 1000; ++i) {
    records.push_back(NewRecord(Cam(1 + i % 7), i / 7, 1));
    BufferRegistry::Add(records.back());
  }
  BufferRecord* twin = NewRecord(Cam(3), 5, 2);  // the same key as an older record
  BufferRegistry::Add(twin);
  for (int i = 0; i < 1000; ++i) {
    WTEST_CONTEXT("record %d", i);
    BufferRecord* expected = (i % 7 == 2 && i / 7 == 5) ? twin : records[i];
    ok(BufferRegistry::FindBuffer(Cam(1 + i % 7), i / 7) == expected, "lookup");
  }
  ok_eq_int(1001, BufferRegistry::Count());
  CheckConsistent();

  // Removing the newer twin uncovers the older; removing from the middle leaves the rest.
  BufferRegistry::Remove(twin);
  ok(BufferRegistry::FindBuffer(Cam(3), 5) == records[2 + 5 * 7], "the older twin is not found");
  for (int i = 100; i < 900; i += 3) BufferRegistry::Remove(records[i]);
  for (int i = 0; i < 1000; ++i) {
    WTEST_CONTEXT("record %d", i);
    const bool removed = i >= 100 && i < 900 && (i - 100) % 3 == 0;
    ok(BufferRegistry::FindBuffer(Cam(1 + i % 7), i / 7) == (removed ? nullptr : records[i]), "after removals");
  }

  // A new number for a record in the registry: found under it, not under the old one, and it
  // keeps its place in the registry's order.
  BufferRecord* moved = records[999];
  const int32_t countBefore = BufferRegistry::Count();
  BufferRegistry::Rekey(moved, Cam(9), 77);
  ok(BufferRegistry::FindBuffer(Cam(9), 77) == moved, "not found under its new number");
  ok(BufferRegistry::FindBuffer(Cam(1 + 999 % 7), 999 / 7) == nullptr, "still found under its old number");
  ok(BufferRegistry::At(0) == moved, "the renumbered record moved in the registry's order");
  ok_eq_int(countBefore, BufferRegistry::Count());
  // Renumbered onto the key of a newer record, it stays behind that one.
  BufferRecord* newer = NewRecord(Cam(9), 78, 1);
  BufferRegistry::Add(newer);
  BufferRegistry::Rekey(records[0], Cam(9), 78);
  ok(BufferRegistry::FindBuffer(Cam(9), 78) == newer, "an older record hides a newer one of its key");
  delete twin;
  for (int i = 100; i < 900; i += 3) delete records[i];
  BufferRegistry::Clear();
}
