// Volume mount points through the system's volume mount point functions.
#include "links/links.h"
#include "platform/last_error.h"
#include "platform/probe.h"

namespace {

const DWORD VolumeNameChars = 260;
const DWORD MountDirChars = 260;

// SetVolumeMountPointW and DeleteVolumeMountPointW want the directory with a
// trailing backslash. Returns 0 and the path to hand over, or an error code
// without touching the system.
DWORD FormMountDir(LPCWSTR mountDir, LPWSTR buffer, LPCWSTR* use) {
  DWORD length = 0;
  while (mountDir[length] != 0) {
    ++length;
  }
  if (length == 0) {
    return ERROR_INVALID_NAME;
  }
  if (mountDir[length - 1] == TEXT('\\')) {
    *use = mountDir;
    return ERROR_SUCCESS;
  }
  if (length + 2 > MountDirChars) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  for (DWORD i = 0; i < length; ++i) {
    buffer[i] = mountDir[i];
  }
  buffer[length] = TEXT('\\');
  buffer[length + 1] = 0;
  *use = buffer;
  return ERROR_SUCCESS;
}

}  // namespace

DWORD MountVolume(LPCWSTR volumePath, LPCWSTR mountDir) {
  // The three functions come and go together (Windows 2000 and later), but
  // neither may be called when the probe did not find it.
  if (KernelEntryPoints.getVolumeNameForVolumeMountPoint == NULL ||
      KernelEntryPoints.setVolumeMountPoint == NULL) {
    return 1;
  }
  WCHAR directory[MountDirChars];
  LPCWSTR mountPoint = NULL;
  DWORD code = FormMountDir(mountDir, directory, &mountPoint);
  if (code != ERROR_SUCCESS) {
    return code;
  }
  WCHAR volumeName[VolumeNameChars];
  if (!KernelEntryPoints.getVolumeNameForVolumeMountPoint(volumePath, volumeName,
                                                          VolumeNameChars)) {
    return LastFailure();
  }
  if (!KernelEntryPoints.setVolumeMountPoint(mountPoint, volumeName)) {
    return LastFailure();
  }
  return ERROR_SUCCESS;
}

DWORD UnmountVolume(LPCWSTR mountDir) {
  if (KernelEntryPoints.deleteVolumeMountPoint == NULL) {
    return 1;
  }
  WCHAR directory[MountDirChars];
  LPCWSTR mountPoint = NULL;
  DWORD code = FormMountDir(mountDir, directory, &mountPoint);
  if (code != ERROR_SUCCESS) {
    return code;
  }
  if (!KernelEntryPoints.deleteVolumeMountPoint(mountPoint)) {
    return LastFailure();
  }
  return ERROR_SUCCESS;
}
