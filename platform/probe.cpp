// Start-up detection of the optional kernel32 link functions and enabling of
// the privileges they need in the process's own token.
#include "platform/probe.h"

#include "platform/handle.h"

KernelEntryPointTable KernelEntryPoints;
DWORD ForceBackupHardLink;

namespace {

// GetProcAddress hands back a generic FARPROC; going through void(*)(void)
// is the conversion compilers accept between unrelated function types.
template <class Fn>
Fn Resolve(HMODULE module, LPCSTR name) {
  FARPROC proc = GetProcAddress(module, name);
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(proc));
}

int EnablePrivilegeOn(LPCWSTR name) { return EnablePrivilege(name, 1); }

}  // namespace

int EnablePrivilege(LPCWSTR name, int enable) {
  HANDLE opened = NULL;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &opened)) {
    return 0;
  }
  OwnedHandle token(opened);
  LUID luid;
  memset(&luid, 0, sizeof(luid));
  if (!LookupPrivilegeValueW(NULL, name, &luid)) {
    return 0;
  }

  // The first adjustment switches the privilege off only to learn, through
  // the previous state, how it stood; the second writes the wanted state.
  TOKEN_PRIVILEGES newState;
  TOKEN_PRIVILEGES previousState;
  memset(&newState, 0, sizeof(newState));
  memset(&previousState, 0, sizeof(previousState));
  newState.PrivilegeCount = 1;
  newState.Privileges[0].Luid = luid;
  newState.Privileges[0].Attributes = 0;
  DWORD returnedLength = sizeof(TOKEN_PRIVILEGES);
  BOOL adjusted = AdjustTokenPrivileges(token.get(), FALSE, &newState, sizeof(TOKEN_PRIVILEGES),
                                        &previousState, &returnedLength);
  // AdjustTokenPrivileges succeeds with ERROR_NOT_ALL_ASSIGNED when the token
  // lacks the privilege, so only the last error tells; a failure that leaves
  // the last error at 0 is still a failure.
  if (!adjusted || GetLastError() != ERROR_SUCCESS) {
    return 0;
  }

  // A privilege that was already off is not reported as changed.
  DWORD attributes = previousState.PrivilegeCount != 0 ? previousState.Privileges[0].Attributes : 0;
  if (enable == 1) {
    attributes |= SE_PRIVILEGE_ENABLED;
  } else {
    attributes &= ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED);
  }
  previousState.PrivilegeCount = 1;
  previousState.Privileges[0].Luid = luid;
  previousState.Privileges[0].Attributes = attributes;
  adjusted = AdjustTokenPrivileges(token.get(), FALSE, &previousState, returnedLength, NULL, NULL);
  // Taken before the token is closed.
  DWORD code = GetLastError();
  return adjusted && code == ERROR_SUCCESS ? 1 : 0;
}

void ResetCapabilities() {
  memset(&KernelEntryPoints, 0, sizeof(KernelEntryPoints));
  ForceBackupHardLink = 0;
}

void ProbeCapabilities() {
  // The module stays loaded for the life of the process; it is never freed.
  HMODULE kernel = LoadLibraryW(TEXT("kernel32.dll"));
  if (reinterpret_cast<ULONG_PTR>(kernel) <= 32) {
    return;
  }

  OSVERSIONINFOW version;
  memset(&version, 0, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
  GetVersionExW(&version);
  // Windows 2000 (5.0) exports CreateHardLinkW, but hard links there are made
  // through the backup stream.
  ForceBackupHardLink = 0;
  if (version.dwMajorVersion == 5 && version.dwMinorVersion == 0) {
    ForceBackupHardLink = 1;
  }

  KernelEntryPoints.createHardLink = Resolve<CreateHardLinkWFn>(kernel, "CreateHardLinkW");
  if (KernelEntryPoints.createHardLink == NULL) {
    // Without CreateHardLinkW the backup stream is the only way to a hard
    // link, and writing it needs backup and restore rights.
    EnablePrivilegeOn(TEXT("SeBackupPrivilege"));
    EnablePrivilegeOn(TEXT("SeRestorePrivilege"));
  }

  KernelEntryPoints.getVolumeNameForVolumeMountPoint =
      Resolve<GetVolumeNameForVolumeMountPointWFn>(kernel, "GetVolumeNameForVolumeMountPointW");
  KernelEntryPoints.setVolumeMountPoint =
      Resolve<SetVolumeMountPointWFn>(kernel, "SetVolumeMountPointW");
  KernelEntryPoints.deleteVolumeMountPoint =
      Resolve<DeleteVolumeMountPointWFn>(kernel, "DeleteVolumeMountPointW");
  KernelEntryPoints.createSymbolicLink =
      Resolve<CreateSymbolicLinkWFn>(kernel, "CreateSymbolicLinkW");
  // Whether the system takes the unprivileged-create flag is learnt from the
  // first link made, not from the version.
  InterlockedExchange(&KernelEntryPoints.unprivilegedFlagRefused, 0);

  if (KernelEntryPoints.createSymbolicLink != NULL) {
    EnablePrivilegeOn(TEXT("SeCreateSymbolicLinkPrivilege"));
  }
}
