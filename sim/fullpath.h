// The Win32 full-path rules (RtlGetFullPathName_U) as a pure function, so the
// rules can be tested from tables and used by GetFullPathNameW.
#pragma once

#include <string>

namespace sim {

// input: the path as given to GetFullPathNameW.
// cwd: the process's current directory as GetCurrentDirectoryW reports it
//   ("C:\work", or "C:\" at a root).
// Another drive has no remembered directory in this process ("D:x" is
// relative to D:'s root), as for a program not started by a command shell.
// Returns false, with *out untouched, for an empty input; true otherwise.
bool ComputeFullPath(const std::u16string& input, const std::u16string& cwd, std::u16string* out);

// RtlIsDosDeviceName_U: whether a path's last component names one of the
// legacy DOS devices (AUX, CON, NUL, PRN, COM1-COM9, LPT1-LPT9, CONIN$,
// CONOUT$), with any extension, colon or trailing spaces. On true, *name is
// the device name as written ("nul" in "C:\x\nul.txt").
bool DosDeviceName(const std::u16string& input, std::u16string* name);

}  // namespace sim
