#!/bin/sh
# Prints the architectures of Windows programs this machine's Wine runs,
# "x86 x64" or "x64": the loaders Debian's wine launcher chooses between.
# wine64 alone runs only 64-bit programs; wine32 (architecture i386) adds the
# 32-bit loader, and a prefix then needs its 32-bit half too.
arches=""
# The 32-bit loader counts only when it starts: a kernel without IA-32
# emulation refuses it unless enable_i386.sh has registered qemu-i386.
[ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1 && arches="x86"
[ -x /usr/lib/wine/wine64 ] && arches="${arches:+$arches }x64"
echo "$arches"
