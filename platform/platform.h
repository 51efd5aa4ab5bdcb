// The only door from product code to the system: <windows.h> and
// <winioctl.h> with the wide C runtime.
//
// On the host build the same two headers come from the simulated platform,
// which the build puts first on the include path; it declares the same
// names, types and constants (WCHAR is a 16-bit char16_t there) and provides
// the wide CRT functions the product uses for that type.
//
// Product code may use nothing from the system that this header does not
// bring in. The five optional kernel32 functions are deliberately not called
// through their declarations: they are resolved at run time by the probe.
#pragma once

#if defined(_WIN32)
#  ifndef UNICODE
#    define UNICODE
#  endif
#  ifndef _UNICODE
#    define _UNICODE
#  endif
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#endif

#include <windows.h>
#include <winioctl.h>
#include <stdio.h>
#include <string.h>
#if defined(_WIN32)
#  include <share.h>
#  include <wchar.h>
#endif

// Names the product needs that not every SDK spells the same way.
#ifndef IO_REPARSE_TAG_MOUNT_POINT
#  define IO_REPARSE_TAG_MOUNT_POINT 0xA0000003UL
#endif
#ifndef IO_REPARSE_TAG_SYMLINK
#  define IO_REPARSE_TAG_SYMLINK 0xA000000CUL
#endif
#ifndef FSCTL_SET_REPARSE_POINT
#  define FSCTL_SET_REPARSE_POINT 0x000900A4UL
#endif
#ifndef FSCTL_GET_REPARSE_POINT
#  define FSCTL_GET_REPARSE_POINT 0x000900A8UL
#endif
#ifndef ERROR_REQUEST_REFUSED
#  define ERROR_REQUEST_REFUSED 4320L
#endif
#ifndef ERROR_CANT_RESOLVE_FILENAME
#  define ERROR_CANT_RESOLVE_FILENAME 1921L
#endif
#ifndef SYMBOLIC_LINK_FLAG_DIRECTORY
#  define SYMBOLIC_LINK_FLAG_DIRECTORY 0x1
#endif
#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#  define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif
#ifndef BACKUP_LINK
#  define BACKUP_LINK 0x00000005
#endif
