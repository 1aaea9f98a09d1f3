// The machine state that seeds the node of version-1 ids, and the random source of version-4
// ids, on Windows.
#include <windows.h>
// RtlGenRandom (SystemFunction036 of advapi32): the system's cryptographic generator.
#include <ntsecapi.h>

#include "Uuid.h"

namespace vemo {
namespace detail {

void addMachineState(MD5Context* context) {
  struct {
    MEMORYSTATUS memory;
    SYSTEM_INFO system;
    FILETIME time;
    LARGE_INTEGER counter;
    DWORD tick;
    wchar_t computer[16];
    DWORD process;
  } record;
  ZeroMemory(&record, sizeof record);
  record.memory.dwLength = sizeof record.memory;
  GlobalMemoryStatus(&record.memory);
  GetSystemInfo(&record.system);
  GetSystemTimeAsFileTime(&record.time);
  QueryPerformanceCounter(&record.counter);
  record.tick = GetTickCount();
  DWORD length = sizeof record.computer / sizeof record.computer[0];
  if (!GetComputerNameW(record.computer, &length))
    ZeroMemory(record.computer, sizeof record.computer);
  record.process = GetCurrentProcessId();
  MD5Update(context, &record, sizeof record);
}

bool systemRandom(void* out, std::size_t size) {
  unsigned char* p = static_cast<unsigned char*>(out);
  while (size > 0) {
    const ULONG chunk = size > 0x10000 ? 0x10000 : static_cast<ULONG>(size);
    if (!RtlGenRandom(p, chunk)) return false;
    p += chunk;
    size -= chunk;
  }
  return true;
}

}  // namespace detail
}  // namespace vemo
