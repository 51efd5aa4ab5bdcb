#!/usr/bin/env bash
# Lets this machine run the 32-bit Wine loader, which runs the x86
# executable. Some kernels run no 32-bit user code at all (IA-32 emulation
# off: an i386 program fails with "Exec format error"); there qemu-i386
# (Debian's qemu-user) runs i386 programs, registered with the kernel's
# binfmt_misc. Needs root for the registration; does nothing where i386
# programs already run, or where Wine's 32-bit part is not installed.
#
# Under qemu, Wine's start-up time grows with the address space qemu
# reserves for the guest: QEMU_RESERVED_VA=0x81000000 (set by the Makefile
# and the Wine tests) is just above the 2 GiB Wine needs and starts a
# program in about 4 s instead of 45 s.
set -euo pipefail
loader=/lib/ld-linux.so.2
[ -x /usr/lib/wine/wine ] && [ -e "$loader" ] || exit 0
"$loader" --version >/dev/null 2>&1 && exit 0
qemu=/usr/bin/qemu-i386
if [ ! -x "$qemu" ]; then
  echo "enable_i386: this kernel runs no 32-bit programs and $qemu is missing (Debian package qemu-user)" >&2
  exit 1
fi
misc=/proc/sys/fs/binfmt_misc
[ -e "$misc/register" ] || mount -t binfmt_misc binfmt_misc "$misc"
if [ ! -e "$misc/qemu-i386" ]; then
  # An i386 ELF executable or shared object (e_machine 3), as Debian's
  # qemu-user-binfmt registers it on hosts that are not i386-capable.
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf ':qemu-i386:M::%s:%s:%s:POC\n' "$magic" "$mask" "$qemu" >"$misc/register"
fi
"$loader" --version >/dev/null 2>&1 || { echo "enable_i386: i386 programs still do not run" >&2; exit 1; }
echo "enable_i386: i386 programs run through $qemu"
