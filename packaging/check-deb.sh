#!/usr/bin/env bash
# Builds the .deb from a finished build tree, unpacks it into a scratch root
# and checks that every file is in place and that the programs run from there.
set -euo pipefail
build=$(cd "${1:?usage: check-deb.sh BUILD_DIR}" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

if ! cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log"
  exit 1
fi
deb=$(ls "$scratch"/out/varnock_*.deb)
dpkg-deb -x "$deb" "$scratch/root"
root=$scratch/root
fail() { echo "check-deb: $*" >&2; exit 1; }

lib=usr/lib/varnock
expected=("$lib/varnockd" "$lib/varnock-plcsim" "$lib/libvarnock_res_en.so" "$lib/Varnock.ini"
          "$lib/Varnock_setting.ini" usr/bin/varnockd usr/bin/varnock-plcsim
          "$lib/varnock-host" "$lib/libvarnock-host.so" usr/bin/varnock-host
          usr/lib/systemd/user/varnockd.service usr/share/doc/varnock/README.md)
if [ -e "$build/bin/varnock" ]; then
  expected+=("$lib/varnock" usr/bin/varnock)
fi
if ldd "$build/bin/varnock" 2>/dev/null | grep -q libQt6Widgets; then
  expected+=(usr/share/applications/varnock.desktop usr/share/icons/hicolor/scalable/apps/varnock.svg)
fi
for f in "${expected[@]}"; do
  [ -e "$root/$f" ] || fail "$f missing; the package holds:$(cd "$root" && find . -type f -o -type l | sort | sed 's/^/ /')"
done
[ "$(readlink "$root/usr/bin/varnockd")" = ../lib/varnock/varnockd ] || fail "usr/bin/varnockd is not a relative link"

control=$(dpkg-deb -I "$deb")
grep -q "^ Depends:.*libc6" <<<"$control" || fail "no Depends on libc6: $control"
dpkg-deb -I "$deb" conffiles | grep -qx "/$lib/Varnock_setting.ini" || fail "settings are not conffiles"

# The programs run through their links and find the settings and the resource
# library in their own directory: text 113 exists only in the library.
export VARNOCK_DEVICE_DIR=$scratch/devices
"$root/usr/bin/varnockd" --version | grep -q '^varnockd [0-9]' || fail "varnockd --version"
sed -i 's/^items=.*/items=0/' "$root/$lib/Varnock_setting.ini"
status=0
"$root/usr/bin/varnockd" 2>"$scratch/err" >/dev/null || status=$?
[ "$status" -eq 1 ] || fail "varnockd on a settings file without channels ended with $status"
grep -q '^\[113\] .*items' "$scratch/err" || fail "unexpected output: $(cat "$scratch/err")"
# The launcher finds the library it preloads beside itself, through its link.
"$root/usr/bin/varnock-host" /bin/sh -c 'case "$LD_PRELOAD" in */usr/lib/varnock/libvarnock-host.so) ;; *) exit 1;; esac' ||
  fail "varnock-host does not preload its library"
echo "check-deb: $(basename "$deb") is complete ($(cd "$root" && find . -type f -o -type l | wc -l) files)"
