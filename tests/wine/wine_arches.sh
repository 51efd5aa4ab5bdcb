#!/bin/sh
# Prints the architectures of Windows programs this machine's Wine runs,
# "x86 x64" or "x64": the loaders Debian's wine launcher chooses between.
# wine64 alone runs only 64-bit programs; wine32 (architecture i386) adds the
# 32-bit loader, and a prefix then needs its 32-bit half too.
arches=""
[ -x /usr/lib/wine/wine ] && arches="x86"
[ -x /usr/lib/wine/wine64 ] && arches="${arches:+$arches }x64"
echo "$arches"
