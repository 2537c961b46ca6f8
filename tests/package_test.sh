#!/usr/bin/env bash
# Checks the Debian packages in dist/ and an install by `cmake --install`
# without installing anything on this machine: what each package holds and
# depends on, that the desktop entries, icons and man pages are sound, and
# that a C program builds and runs against LampLink through pkg-config and
# through find_package(LampLink), from the packages' files and from a
# prefix. Programs that open sockets run in a private network.
#   tests/package_test.sh DIST BUILD-TREE
set -euo pipefail
dist=$(realpath "$1")
tree=$(realpath "$2")
source_dir=$(realpath "$(dirname "$0")/..")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@" >/dev/null 2>&1; then echo "ok: $what"; else fail "$what"; fi; }

deb() { ls "$dist"/$1_*_amd64.deb; }
contents() { dpkg-deb -c "$(deb "$1")" | awk '{print $6}' | sed 's|^\./|/|'; }
holds() { contents "$1" | grep -qx "$2"; }

libdir=/usr/lib/x86_64-linux-gnu
for file in /usr/bin/lamppanel /usr/bin/netassign /usr/bin/lampctl /usr/bin/lampsend \
  /usr/bin/lampunit /usr/bin/lamptower /usr/share/applications/lamppanel.desktop \
  /usr/share/applications/netassign.desktop /usr/share/icons/hicolor/16x16/apps/lamppanel.png \
  /usr/share/icons/hicolor/32x32/apps/netassign.png /usr/share/man/man1/lampctl.1.gz \
  /usr/share/man/man1/lamppanel.1.gz /usr/share/bash-completion/completions/lampctl \
  /usr/share/doc/lampsuite/copyright /usr/sbin/lampd /lib/systemd/system/lampd.service \
  /etc/lampd/lampd.toml /usr/share/man/man8/lampd.8.gz /usr/share/man/man5/lampd.toml.5.gz \
  /usr/share/doc/lampsuite/schema/state.schema.json /usr/share/doc/lampsuite/mosquitto-acl.conf \
  /usr/lib/sysusers.d/lampd.conf \
  "$libdir/wireshark/plugins/lampsuite.lua"; do
  check "lampsuite holds $file" holds lampsuite "$file"
done
check "liblamplink1 holds the library" holds liblamplink1 "$libdir/liblamplink.so.1.2.0"
check "liblamplink1 holds no header" bash -c "! dpkg-deb -c $(deb liblamplink1) | grep -q '\.h$'"
for file in /usr/include/lamplink.h "$libdir/pkgconfig/lamplink.pc" \
  "$libdir/cmake/LampLink/LampLinkConfig.cmake" "$libdir/liblamplink.so"; do
  check "liblamplink-dev holds $file" holds liblamplink-dev "$file"
done
depends=$(dpkg-deb -f "$(deb lampsuite)" Depends)
for needed in "liblamplink1 (= 1.2.0)" libqt6widgets6 qt6-qpa-plugins libstdc++6; do
  check "lampsuite depends on $needed" grep -qF "$needed" <<<"$depends"
done
check "lampsuite makes lampd's group as it is configured" bash -c \
  "dpkg-deb -I $(deb lampsuite) postinst | grep -q 'systemd-sysusers lampd.conf'"
check "lampd's unit reads its secrets through that group" bash -c \
  "dpkg-deb --fsys-tarfile $(deb lampsuite) | tar -xO ./lib/systemd/system/lampd.service |
   grep -qx 'SupplementaryGroups=lampd'"
check "liblamplink1 has its shlibs entry" bash -c \
  "dpkg-deb -I $(deb liblamplink1) shlibs | grep -qx 'liblamplink 1 liblamplink1 (>= 1.2.0)'"

# The packages' files, unpacked where nothing else looks.
root=$work/root
for package in lampsuite liblamplink1 liblamplink-dev; do dpkg-deb -x "$(deb $package)" "$root"; done
for entry in "$root"/usr/share/applications/*.desktop; do
  check "$(basename "$entry") is a valid desktop entry" desktop-file-validate "$entry"
  icon=$(sed -n 's/^Icon=//p' "$entry")
  check "$(basename "$entry") names its own icon" test -f "$root/usr/share/icons/hicolor/32x32/apps/$icon.png"
done
for size in 16 32; do
  for icon in "$root"/usr/share/icons/hicolor/${size}x${size}/apps/*.png; do
    check "$(basename "$icon") is drawn at ${size}x${size}" bash -c \
      "file '$icon' | grep -q 'PNG image data, $size x $size'"
  done
done
for page in "$root"/usr/share/man/man1/*.1.gz; do
  check "$(basename "$page") formats without warnings" bash -c \
    "zcat '$page' | groff -man -Tutf8 -ww -z 2>&1 | (! grep .)"
done

# The dissector sits where tshark itself looks for Lua plugins, and tshark
# takes it from a plugin folder with no option (the personal folder of a home
# of our own standing in for the system's).
if command -v tshark >/dev/null; then
  global=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
  check "the dissector is in tshark's own folder ($global)" test -f "$root$global/lampsuite.lua"
  home=$work/home
  personal=$(HOME=$home tshark -G folders 2>/dev/null | sed -n 's/^Personal Lua Plugins:[[:space:]]*//p')
  mkdir -p "$personal"
  cp "$root$global/lampsuite.lua" "$personal/"
  check "tshark loads the dissector by itself" bash -c \
    "HOME='$home' tshark -G protocols 2>/dev/null | grep -q '[[:space:]]lampframe$' &&
     HOME='$home' tshark -G protocols 2>/dev/null | grep -q '[[:space:]]lampsettings$'"
fi

# A C program against LampLink: through pkg-config and through CMake.
cat > "$work/consumer.c" <<'PROGRAM'
#include <errno.h>
#include <lamplink.h>
#include <stdio.h>
int main(void) {
  uint8_t address[4] = {0, 0, 0, 0}; /* no peer: refused before anything is sent */
  uint8_t frame[8] = {0, 0, 0, 0x64, 0x64, 0x64, 0x64, 0x64};
  uint8_t result = Tcp_Orvik_RW(20000, address, frame);
  printf("result %u frame[0] %c errno %s\n", result, frame[0],
         errno == EDESTADDRREQ ? "EDESTADDRREQ" : "other");
  return result == 0 && frame[0] == 'R' && errno == EDESTADDRREQ ? 0 : 1;
}
PROGRAM
cat > "$work/CMakeLists.txt" <<'PROJECT'
cmake_minimum_required(VERSION 3.16)
project(consumer C)
find_package(LampLink 1.2 REQUIRED)
add_executable(consumer consumer.c)
target_link_libraries(consumer PRIVATE LampLink::lamplink)
PROJECT

# Builds and runs the consumer against the files under PREFIX (libdir LIB).
consume() {
  local name=$1 prefix=$2 lib=$3
  local pcdir=$prefix/$lib/pkgconfig
  check "$name: pkg-config knows lamplink 1.2.0" bash -c \
    "[ \"\$(PKG_CONFIG_PATH='$pcdir' pkg-config --modversion lamplink)\" = 1.2.0 ]"
  check "$name: pkg-config gives -llamplink and the header's folder" bash -c \
    "PKG_CONFIG_PATH='$pcdir' pkg-config --cflags --libs lamplink | grep -q -- '-llamplink' &&
     test -f \"\$(PKG_CONFIG_PATH='$pcdir' pkg-config --variable=includedir lamplink)/lamplink.h\""
  check "$name: a C program builds with pkg-config" bash -c \
    "cc '$work/consumer.c' \$(PKG_CONFIG_PATH='$pcdir' pkg-config --cflags --libs lamplink) \
      -o '$work/$name-pc'"
  check "$name: and runs" env LD_LIBRARY_PATH="$prefix/$lib" \
    "$source_dir/scripts/private-net" "$work/$name-pc"
  check "$name: find_package(LampLink) configures" cmake -S "$work" -B "$work/$name-cmake" \
    -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
  check "$name: the CMake consumer builds" cmake --build "$work/$name-cmake"
  check "$name: and runs" env LD_LIBRARY_PATH="$prefix/$lib" \
    "$source_dir/scripts/private-net" "$work/$name-cmake/consumer"
}
consume packages "$root/usr" lib/x86_64-linux-gnu

# The same from `cmake --install` into a prefix of one's own; the programs
# there find the library without help.
cmake --install "$tree" --prefix "$work/prefix" >/dev/null
consume prefix "$work/prefix" lib
check "prefix: lampctl runs from it" "$work/prefix/bin/lampctl" --version
check "prefix: lampsend finds its library" "$work/prefix/bin/lampsend" --version

# The Windows zip, where it was made: what it holds, and that the DLLs and
# programs need nothing beside them but Windows' own DLLs.
for zip in "$dist"/lamplink-windows-*.zip; do
  [ -e "$zip" ] || continue
  top=$(basename "$zip" .zip)
  listing=$(unzip -Z1 "$zip")
  for file in x64/LampLink.dll x86/LampLink.dll x64/lampctl.exe x64/LampPanel.exe x86/LampPanel.exe \
    x64/NetAssign.exe x86/NetAssign.exe x64/libLampLink.dll.a x86/libLampLink.dll.a lamplink.h \
    LampLink.def README.txt; do
    check "windows zip: holds $file" grep -qx "$top/$file" <<< "$listing"
  done
  unzip -q "$zip" -d "$work/windows"
  for binary in "$work/windows/$top"/x*/*.{dll,exe}; do
    name=$(basename "$(dirname "$binary")")/$(basename "$binary")
    imports=$(x86_64-w64-mingw32-objdump -p "$binary" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
    system='kernel32.dll|msvcrt.dll|ws2_32.dll|iphlpapi.dll|user32.dll|gdi32.dll|comctl32.dll'
    # The console links LampLink.dll, beside it, as the original does.
    [ "$(basename "$binary")" = LampPanel.exe ] && system="$system|lamplink.dll"
    check "windows zip: $name imports only system DLLs" \
      test -z "$(grep -vxE "$system" <<< "$imports")"
    format=$(x86_64-w64-mingw32-objdump -f "$binary" | sed -n 's/.*file format //p')
    check "windows zip: $name is of its folder's width" \
      test "$format" = "$([ "${name%%/*}" = x64 ] && echo pei-x86-64 || echo pei-i386)"
  done
  for width in x64 x86; do
    exports=$(x86_64-w64-mingw32-objdump -p "$work/windows/$top/$width/LampLink.dll" |
      sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^[[:space:]]+\[ *[0-9]+\]/ {print $NF}')
    check "windows zip: $width/LampLink.dll exports Tcp_Orvik_RW alone" test "$exports" = Tcp_Orvik_RW
  done
done

if [ $failures -gt 0 ]; then
  echo "$failures package checks failed" >&2
  exit 1
fi
echo "all package checks passed"
