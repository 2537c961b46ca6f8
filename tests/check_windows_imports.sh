#!/usr/bin/env bash
# The Windows programs and LampLink.dll, 64- and 32-bit, import only
# Windows' own DLLs (and the programs LampLink.dll): the C and C++ runtimes
# are linked in, nothing else need go beside them. Skipped (77) where the
# Windows trees are not built.
set -euo pipefail
root=$1
objdump=x86_64-w64-mingw32-objdump
allowed="KERNEL32.dll USER32.dll GDI32.dll COMCTL32.dll WS2_32.dll IPHLPAPI.DLL msvcrt.dll"
checked=0
for tree in build-win64 build-win32; do
  for module in LampLink.dll LampPanel.exe NetAssign.exe; do
    file="$root/$tree/bin/$module"
    [ -f "$file" ] || continue
    checked=$((checked + 1))
    width=$($objdump -f "$file" | sed -n 's/.*file format \(pe[a-z0-9-]*\).*/\1/p')
    expected=$([ "$tree" = build-win64 ] && echo pei-x86-64 || echo pei-i386)
    [ "$width" = "$expected" ] || { echo "$tree/$module: $width, not $expected" >&2; exit 1; }
    for dll in $($objdump -p "$file" | sed -n 's/^\tDLL Name: //p'); do
      ok=0
      for name in $allowed $([ "$module" = LampPanel.exe ] && echo LampLink.dll); do
        [ "${dll,,}" = "${name,,}" ] && ok=1  # Windows names DLLs in any case
      done
      [ $ok = 1 ] || { echo "$tree/$module imports $dll" >&2; exit 1; }
    done
  done
done
[ $checked -gt 0 ] || exit 77
echo "$checked Windows modules import only Windows' own DLLs"
