// Start-up detection of the optional kernel32 link functions, the
// version-5.0 flag, and switching privileges on in the process token.
#pragma once

#include "platform/platform.h"

typedef BOOL(WINAPI* CreateHardLinkWFn)(LPCWSTR newName, LPCWSTR existingName,
                                        LPSECURITY_ATTRIBUTES sa);
typedef BOOLEAN(WINAPI* CreateSymbolicLinkWFn)(LPCWSTR linkName, LPCWSTR targetName, DWORD flags);
typedef BOOL(WINAPI* GetVolumeNameForVolumeMountPointWFn)(LPCWSTR mountPoint, LPWSTR volumeName,
                                                          DWORD chars);
typedef BOOL(WINAPI* SetVolumeMountPointWFn)(LPCWSTR mountPoint, LPCWSTR volumeName);
typedef BOOL(WINAPI* DeleteVolumeMountPointWFn)(LPCWSTR mountPoint);

// Each entry is null when the running system does not export the function.
// Filled once by ProbeCapabilities before anything else runs; read-only after,
// except unprivilegedFlagRefused.
struct KernelEntryPointTable {
  CreateHardLinkWFn createHardLink;
  CreateSymbolicLinkWFn createSymbolicLink;
  GetVolumeNameForVolumeMountPointWFn getVolumeNameForVolumeMountPoint;
  SetVolumeMountPointWFn setVolumeMountPoint;
  DeleteVolumeMountPointWFn deleteVolumeMountPoint;
  // 0 until CreateSymbolicLinkW has shown that this system refuses
  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE, then 1 for the rest of the
  // process. Any thread (the clone's worker too) may set it; it only ever
  // goes from 0 to 1, and is read and written with interlocked calls.
  LONG unprivilegedFlagRefused;
};

extern KernelEntryPointTable KernelEntryPoints;

// Nonzero on Windows 2000 (5.0): hard links go through the backup stream even
// when CreateHardLinkW exists.
extern DWORD ForceBackupHardLink;

void ProbeCapabilities();

// Empties KernelEntryPoints and clears ForceBackupHardLink: the state of a
// process that has not probed yet. For hosts that start the product's code
// afresh within one process (tests, fuzz targets, the dry-run tool); the
// product itself never calls it.
void ResetCapabilities();

// 1 on success, 0 on failure. enable == 1 switches the privilege on, any
// other value switches it off.
int EnablePrivilege(LPCWSTR name, int enable);
