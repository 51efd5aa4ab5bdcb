// Placeholder until reparse points and links land.
#include "sim/sim.h"

BOOL WINAPI DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                            LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
  (void)h;
  (void)code;
  (void)in;
  (void)inSize;
  (void)out;
  (void)outSize;
  (void)bytesReturned;
  (void)overlapped;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return 0;
}

BOOL WINAPI BackupWrite(HANDLE h, LPBYTE buffer, DWORD bytes, LPDWORD written, BOOL abort,
                        BOOL processSecurity, LPVOID* context) {
  (void)h;
  (void)buffer;
  (void)bytes;
  (void)written;
  (void)abort;
  (void)processSecurity;
  (void)context;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return 0;
}

namespace sim {
BOOL WINAPI CreateHardLinkW(LPCWSTR, LPCWSTR, LPSECURITY_ATTRIBUTES) { SetError(120); return FALSE; }
BOOLEAN WINAPI CreateSymbolicLinkW(LPCWSTR, LPCWSTR, DWORD) { SetError(120); return FALSE; }
BOOL WINAPI GetVolumeNameForVolumeMountPointW(LPCWSTR, LPWSTR, DWORD) { SetError(120); return FALSE; }
BOOL WINAPI SetVolumeMountPointW(LPCWSTR, LPCWSTR) { SetError(120); return FALSE; }
BOOL WINAPI DeleteVolumeMountPointW(LPCWSTR) { SetError(120); return FALSE; }
}  // namespace sim
