// Small Win32 helpers shared by the subsystems: owning handle types, entry-point lookup, and
// loading a library that ships beside the module.
#pragma once

#include <windows.h>

// Owns a kernel handle.  INVALID_HANDLE_VALUE, which some calls return for none, is kept as
// null, so a valid handle is exactly a non-null one.
class ScopedHandle {
 public:
  ScopedHandle() noexcept = default;
  explicit ScopedHandle(HANDLE handle) noexcept : handle_(Normal(handle)) {}
  ~ScopedHandle() { Reset(); }
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.Release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  HANDLE get() const noexcept { return handle_; }
  bool valid() const noexcept { return handle_ != nullptr; }
  HANDLE Release() noexcept {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void Reset(HANDLE handle = nullptr) noexcept {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = Normal(handle);
  }

 private:
  static HANDLE Normal(HANDLE handle) noexcept { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }
  HANDLE handle_ = nullptr;
};

// A file's version resource, read whole; empty when the file has none or there is no memory.
class FileVersionBlock {
 public:
  explicit FileVersionBlock(const char* path) noexcept;
  ~FileVersionBlock();
  FileVersionBlock(const FileVersionBlock&) = delete;
  FileVersionBlock& operator=(const FileVersionBlock&) = delete;

  // A value of the block (VerQueryValueA's sub-block names); false when it has none.
  bool Query(const char* subBlock, void** value, UINT* length) const noexcept;

 private:
  void* block_ = nullptr;
};

// Keeps the caller's last error across its scope: the module's own calls in between (logging,
// boxes, clean-ups) never change what the caller reads from GetLastError.
class LastErrorGuard {
 public:
  LastErrorGuard() noexcept : error_(GetLastError()) {}
  ~LastErrorGuard() { SetLastError(error_); }
  LastErrorGuard(const LastErrorGuard&) = delete;
  LastErrorGuard& operator=(const LastErrorGuard&) = delete;

 private:
  DWORD error_;
};

// Holds an SRW lock exclusively for its scope.
class ScopedExclusive {
 public:
  explicit ScopedExclusive(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~ScopedExclusive() { ReleaseSRWLockExclusive(&lock_); }
  ScopedExclusive(const ScopedExclusive&) = delete;
  ScopedExclusive& operator=(const ScopedExclusive&) = delete;

 private:
  SRWLOCK& lock_;
};

// Stores the export `name` of `module` (or null) in `slot`; true when it was found.
template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn& slot) noexcept {
  // FARPROC and the typed pointer are both plain code addresses; going through void* keeps
  // either compiler from warning about a cast between unrelated function types.
  slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return slot != nullptr;
}

// The module's own folder with its trailing backslash, or an empty text when the module's
// file name has no backslash or does not fit MAX_PATH (then its folder cannot be trusted).
void ModuleFolder(char (&folder)[MAX_PATH]) noexcept;

// Loads `fileName` from the module's own folder, else `baseName` through the system search
// order.  Returns the module, or null with *error set to the last error of the second attempt.
HMODULE LoadBesideModule(const char* fileName, const char* baseName, DWORD* error) noexcept;
