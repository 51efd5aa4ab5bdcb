#!/usr/bin/env bash
# The Windows executables must run from a bare copy: their import tables may
# name only the system DLLs (KERNEL32, ADVAPI32) and the system C runtime
# (msvcrt, or the api-ms-win-crt-* forwarders of the universal CRT).
set -euo pipefail
status=0
for exe in "$@"; do
  if [ ! -f "$exe" ]; then
    # Only the host preset was built: nothing to check (make test builds all).
    echo "SKIP: $exe is not built (cmake --build --preset mingw-x64 / mingw-x86)"
    exit 77
  fi
  case "$(od -An -tx1 -j"$(( $(od -An -tu4 -j60 -N4 "$exe") + 4 ))" -N2 "$exe" | tr -d ' ')" in
    6486) objdump=x86_64-w64-mingw32-objdump ;;
    4c01) objdump=i686-w64-mingw32-objdump ;;
    *) echo "$exe: not an x64 or x86 PE image"; status=1; continue ;;
  esac
  dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
  if [ -z "$dlls" ]; then
    echo "$exe: no imports found"
    status=1
    continue
  fi
  bad=$(printf '%s\n' "$dlls" | grep -viE '^(kernel32|advapi32|msvcrt)\.dll$|^api-ms-win-crt-[a-z0-9-]+\.dll$' || true)
  echo "$exe imports: $(printf '%s ' $dlls)"
  if [ -n "$bad" ]; then
    echo "$exe: unexpected DLLs: $(printf '%s ' $bad)"
    status=1
  fi
done
exit $status
