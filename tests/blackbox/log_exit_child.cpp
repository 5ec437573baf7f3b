// A child process for the session log's exit cases: it logs a run of entries in thread mode
// and ends the process with the module still loaded, as LabVIEW ends.
// Usage: log_exit_child <moment> <first hCam, hex> <count> <delay in microseconds> <record file>
//   random       after the entries, spins for the delay, then ends the process
//   after_read   sends a message of its own to the module's mailslot, holds the writer thread
//                right after its first read of a message, and ends there
//   after_seek   ... right after it has found the end of the log file for a write
//   after_write  ... right after its first write into the log file
//   fatal        asks for an error text, which ends the process: this program is no LabVIEW
// Before it ends it writes "made=<entries whose call returned> reached=<0|1>" into the record
// file.  Exit code 0; 2 or 4 for a wrong call or a failed load.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "log_checks.h"
#include "module_host.h"

namespace {

enum class Moment { kRandom, kAfterRead, kAfterSeek, kAfterWrite };

Moment s_moment = Moment::kRandom;
DWORD s_burstThread = 0;
HANDLE s_reached = nullptr;   // set by the writer thread once it is held
volatile LONG s_armed = 0;    // hold only the first time
volatile LONG s_made = 0;     // entries whose call has returned

decltype(&ReadFile) s_realReadFile = nullptr;
decltype(&SetFilePointerEx) s_realSetFilePointerEx = nullptr;
decltype(&WriteFile) s_realWriteFile = nullptr;

// Only the writer thread is held: the burst thread is the one other thread that calls in.
bool HoldsHere(Moment moment) {
  return s_moment == moment && GetCurrentThreadId() != s_burstThread && InterlockedExchange(&s_armed, 0) != 0;
}

// The writer thread stays here until the process ends around it.
void Hold() {
  SetEvent(s_reached);
  for (;;) Sleep(INFINITE);
}

BOOL WINAPI HeldReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
  const BOOL done = s_realReadFile(file, buffer, size, read, overlapped);
  if (done && read != nullptr && *read > 0 && HoldsHere(Moment::kAfterRead)) Hold();
  return done;
}

BOOL WINAPI HeldSetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER position, DWORD method) {
  const BOOL done = s_realSetFilePointerEx(file, distance, position, method);
  if (done && method == FILE_END && HoldsHere(Moment::kAfterSeek)) Hold();
  return done;
}

BOOL WINAPI HeldWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  const BOOL done = s_realWriteFile(file, data, size, written, overlapped);
  if (done && HoldsHere(Moment::kAfterWrite)) Hold();
  return done;
}

struct Burst {
  ModuleHost* host;
  uintptr_t first;
  int count;
};

DWORD WINAPI LogBurst(void* argument) {
  const Burst& burst = *static_cast<Burst*>(argument);
  for (int i = 0; i < burst.count; ++i) {
    LogOne(*burst.host, burst.first + i);
    InterlockedIncrement(&s_made);
  }
  return 0;
}

// A message of another program, once the writer's mailslot is there.
void SendForeignMessage() {
  for (int i = 0; i < 500; ++i, Sleep(10)) {
    HANDLE slot = CreateFileA("\\\\.\\mailslot\\loggingslot_vorlabview", GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (slot == INVALID_HANDLE_VALUE) continue;
    DWORD written = 0;
    WriteFile(slot, "FOREIGN\r\n", 9, &written, nullptr);
    CloseHandle(slot);
    return;
  }
}

void Spin(DWORD microseconds) {
  LARGE_INTEGER frequency, start, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  const LONGLONG ticks = frequency.QuadPart * microseconds / 1000000;
  do {
    QueryPerformanceCounter(&now);
  } while (now.QuadPart - start.QuadPart < ticks);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) return 2;
  const char* moment = argv[1];
  if (strcmp(moment, "after_read") == 0) s_moment = Moment::kAfterRead;
  else if (strcmp(moment, "after_seek") == 0) s_moment = Moment::kAfterSeek;
  else if (strcmp(moment, "after_write") == 0) s_moment = Moment::kAfterWrite;
  else if (strcmp(moment, "fatal") != 0 && strcmp(moment, "random") != 0) return 2;
  FILE* record = fopen(argv[5], "wb");
  if (record == nullptr) return 2;
  if (strcmp(moment, "fatal") == 0) {
    // This program is no LabVIEW: the text service ends the process.
    ModuleHost host("exit");
    if (!host.Load()) return 4;
    VLVStringPtr block = static_cast<VLVStringPtr>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 8));
    host.api.GetErrorText(VOR_ERR_TIMEOUT, &block);
    fprintf(record, "returned\n");
    fclose(record);
    return 3;
  }

  s_reached = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ModuleHost host("exit");
  if (!host.Load()) return 4;
  PatchImport(host.module(), "kernel32.dll", "ReadFile", reinterpret_cast<void*>(&HeldReadFile),
              reinterpret_cast<void**>(&s_realReadFile));
  PatchImport(host.module(), "kernel32.dll", "SetFilePointerEx", reinterpret_cast<void*>(&HeldSetFilePointerEx),
              reinterpret_cast<void**>(&s_realSetFilePointerEx));
  PatchImport(host.module(), "kernel32.dll", "WriteFile", reinterpret_cast<void*>(&HeldWriteFile),
              reinterpret_cast<void**>(&s_realWriteFile));
  s_armed = s_moment != Moment::kRandom;

  // The entries come from a thread of their own, so that a held writer that keeps callers
  // waiting does not keep the process from ending.
  Burst burst = {&host, strtoul(argv[2], nullptr, 16), atoi(argv[3])};
  HANDLE thread = CreateThread(nullptr, 0, LogBurst, &burst, CREATE_SUSPENDED, &s_burstThread);
  ResumeThread(thread);
  bool reached = false;
  if (s_moment == Moment::kRandom) {
    WaitForSingleObject(thread, 60000);
    Spin(strtoul(argv[4], nullptr, 10));
  } else {
    if (s_moment == Moment::kAfterRead) SendForeignMessage();
    reached = WaitForSingleObject(s_reached, 10000) == WAIT_OBJECT_0;
    // Whatever the held writer keeps waiting has had the time to go as far as it can.
    WaitForSingleObject(thread, 1000);
  }
  fprintf(record, "made=%ld reached=%d\n", s_made, reached ? 1 : 0);
  fclose(record);
  ExitProcess(0);
}
