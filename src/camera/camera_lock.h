// The camera lock: serialises every use of the registry and of FamilyEntryPoints.
//
// LabVIEW calls the exports from several threads at once.  An export holds the lock while
// it finds and uses records and entry points, so a record stays valid while it is in use.
// It is released around message boxes and event waits, which can block for long.
#pragma once

#include <windows.h>

class CameraLock {
 public:
  CameraLock() noexcept { Lock(); }
  ~CameraLock() { if (held_) ReleaseSRWLockExclusive(&s_lock); }
  CameraLock(const CameraLock&) = delete;
  CameraLock& operator=(const CameraLock&) = delete;

  void Unlock() noexcept { ReleaseSRWLockExclusive(&s_lock); held_ = false; }
  void Lock() noexcept { AcquireSRWLockExclusive(&s_lock); held_ = true; }

 private:
  static SRWLOCK s_lock;  // Guards the registry and FamilyEntryPoints.
  bool held_ = false;
};
