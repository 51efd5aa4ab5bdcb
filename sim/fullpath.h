// The Win32 full-path rules (RtlGetFullPathName_U) as a pure function, so the
// rules can be tested from tables and used by GetFullPathNameW.
#pragma once

#include <functional>
#include <string>

namespace sim {

// input: the path as given to GetFullPathNameW.
// cwd: the process's current directory as GetCurrentDirectoryW reports it
//   ("C:\work", or "C:\" at a root).
// driveCwd: the remembered current directory of another drive (upper-case
//   letter), or an empty string when there is none (then the drive's root).
// Returns false, with *out untouched, for an empty input; true otherwise.
bool ComputeFullPath(const std::u16string& input, const std::u16string& cwd,
                     const std::function<std::u16string(char16_t)>& driveCwd,
                     std::u16string* out);

// RtlIsDosDeviceName_U: whether a path's last component names one of the
// legacy DOS devices (AUX, CON, NUL, PRN, COM1-COM9, LPT1-LPT9, CONIN$,
// CONOUT$), with any extension, colon or trailing spaces. On true, *name is
// the device name as written ("nul" in "C:\x\nul.txt").
bool DosDeviceName(const std::u16string& input, std::u16string* name);

}  // namespace sim
