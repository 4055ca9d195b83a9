#!/usr/bin/env bash
# Builds the Debian packages from a finished build tree and checks them as a
# user would meet them: lintian finds nothing, both units pass
# systemd-analyze, the packages install into a throw-away root (dpkg --root,
# maintainer scripts run outside it with DPKG_ROOT), varnockd runs from
# there as an ordinary user whose channels survive a restart, and purging
# leaves nothing of ours behind.
set -euo pipefail
build=$(cd "${1:?usage: check-deb.sh BUILD_DIR}" && pwd)
scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT
# The ordinary user must reach the root and its own folders.
chmod 755 "$scratch"
fail() { echo "check-deb: $*" >&2; exit 1; }
# An ordinary user, a mount namespace and a group change need root (CI has it).
[ "$(id -u)" = 0 ] || fail "runs as root only (setpriv, unshare -m, chgrp): sudo ctest -L package"

if ! cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log"
  exit 1
fi
bridge=$(ls "$scratch"/out/varnock-bridge_*.deb)
debs=("$bridge")
desktop=$(ls "$scratch"/out/varnock_*.deb 2>/dev/null || true)
if [ -e "$build/bin/varnock" ] && ldd "$build/bin/varnock" | grep -q libQt6Widgets; then
  [ -n "$desktop" ] || fail "no package of the desktop program"
  debs+=("$desktop")
fi

# The bridge goes without Qt.
dpkg-deb -f "$bridge" Depends | grep -qi qt && fail "varnock-bridge depends on Qt: $(dpkg-deb -f "$bridge" Depends)"
dpkg-deb -I "$bridge" conffiles | grep -qx /etc/varnock/Varnock_setting.ini || fail "settings are not conffiles"

# Every warning counts; an override needs its reason beside it.
lintian --fail-on error,warning --tag-display-limit 0 "${debs[@]}" >"$scratch/lintian" 2>&1 ||
  fail "lintian:$(sed 's/^/ /' "$scratch/lintian")"
grep -E '^[EW]:' "$scratch/lintian" && fail "lintian reports the above"

root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log"
touch "$root/var/lib/dpkg/status"
dpkg_root() { dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null "$@"; }
dpkg_root -i "${debs[@]}" >"$scratch/dpkg.log" 2>&1 || fail "install:$(sed 's/^/ /' "$scratch/dpkg.log")"
grep -q '^varnock:' "$root/etc/passwd" || fail "no system user varnock"

# Both units as systemd reads them, against the installed files: the system
# unit in a copy of the root that has the system's own units beside it; the
# user unit (a user manager takes no root) with the root's /usr as
# /usr/local, the first place its bare command name is looked for.
analyze=$scratch/analyze
cp -a "$root" "$analyze"
cp -an /usr/lib/systemd/system "$analyze/usr/lib/systemd/"
mkdir -p "$scratch/run"
chmod 700 "$scratch/run"
{ systemd-analyze --root="$analyze" verify --man=no /usr/lib/systemd/system/varnockd.service &&
  XDG_RUNTIME_DIR=$scratch/run unshare -m sh -c 'mount --bind "$1/usr" /usr/local &&
    exec systemd-analyze --user verify --man=no "$1/usr/lib/systemd/user/varnockd.service"' - "$root"
} >"$scratch/analyze.log" 2>&1 || fail "systemd-analyze:$(sed 's/^/ /' "$scratch/analyze.log")"
[ -s "$scratch/analyze.log" ] && fail "systemd-analyze:$(sed 's/^/ /' "$scratch/analyze.log")"
rm -rf "$analyze"

# An ordinary user (nobody) with a home of its own.
user=(setpriv --reuid=65534 --regid=65534 --clear-groups --reset-env)
home=$scratch/home
mkdir -p "$home" "$scratch/devices"
chown 65534:65534 "$home" "$scratch/devices"
chmod 700 "$scratch/devices"
env=(HOME="$home" VARNOCK_DEVICE_DIR="$scratch/devices" PATH=/usr/bin:/bin)
own=$home/.config/varnock/Varnock_setting.ini
defaults=$root/etc/varnock/Varnock_setting.ini
cp "$defaults" "$scratch/defaults"

# varnockd until its first channel line, then SIGTERM; its exit status.
run() {
  local out=$1 status=0
  shift
  "${user[@]}" env "${env[@]}" "$@" "$root/usr/bin/varnockd" >"$scratch/$out" 2>"$scratch/$out.err" &
  local pid=$!
  pids+=("$pid")
  for _ in $(seq 100); do
    grep -q '^channel 1:' "$scratch/$out" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" || status=$?
  echo "$status"
}

# A home that cannot be written: the save fails, says so and ends with 4.
chmod 555 "$home"
[ "$(run readonly)" = 4 ] || fail "unwritable home: $(cat "$scratch/readonly.err")"
grep -q "^\[230\] .*$own" "$scratch/readonly.err" || fail "no save message: $(cat "$scratch/readonly.err")"
chmod 755 "$home"

# The first run reads the defaults and saves the user's own file.
[ "$(run first)" = 0 ] || fail "first run: $(cat "$scratch/first.err")"
grep -q '^channel 1: COM5 at ' "$scratch/first" || fail "first run: $(cat "$scratch/first")"
[ -f "$own" ] || fail "no channel file of the user's own after the first run"
cmp -s "$defaults" "$scratch/defaults" || fail "the defaults in /etc were written"

# The user's change survives a restart, and the restart's save.
sed -i 's/^1=.*/1=COM7,Ethernet,127.0.0.9,,Yes/' "$own"
[ "$(run second)" = 0 ] || fail "second run: $(cat "$scratch/second.err")"
grep -q '^channel 1: COM7 at .*, link Ethernet 127.0.0.9,' "$scratch/second" ||
  fail "the change was lost: $(cat "$scratch/second")"
grep -qx '1=COM7,Ethernet,127.0.0.9,,Yes' "$own" || fail "the change was not kept: $(cat "$own")"

# One bridge per device directory: a second varnockd says who holds it.
"${user[@]}" env "${env[@]}" "$root/usr/bin/varnockd" >"$scratch/holder" 2>&1 &
holder=$!
pids+=("$holder")
for _ in $(seq 100); do grep -q '^channel 1:' "$scratch/holder" && break; sleep 0.1; done
status=0
"${user[@]}" env "${env[@]}" "$root/usr/bin/varnockd" >/dev/null 2>"$scratch/copy.err" || status=$?
kill -TERM "$holder"
wait "$holder" || true
[ "$status" = 3 ] || fail "a second varnockd ended with $status"
grep -q "varnockd (process $holder) already bridges" "$scratch/copy.err" || fail "second copy: $(cat "$scratch/copy.err")"

# A device directory its group may enter (as the system service's
# /run/varnock) shares the ports with that group: nobody, of group nogroup,
# opens the port of a bridge run by root.
mkdir -m 750 "$scratch/shared"
chgrp 65534 "$scratch/shared"
HOME=$scratch VARNOCK_DEVICE_DIR=$scratch/shared "$root/usr/bin/varnockd" >"$scratch/shared.out" 2>&1 &
bridge_pid=$!
pids+=("$bridge_pid")
for _ in $(seq 100); do grep -q '^channel 1:' "$scratch/shared.out" && break; sleep 0.1; done
mode=$(stat -L -c '%a %g' "$scratch/shared/COM5" 2>&1 || true)
opened=0
"${user[@]}" sh -c 'exec 3<>"$1"' - "$scratch/shared/COM5" 2>/dev/null || opened=$?
kill -TERM "$bridge_pid"
wait "$bridge_pid" || true
[ "$mode" = "660 65534" ] && [ "$opened" = 0 ] || fail "shared port: mode $mode, open by its group: $opened"

# The launcher finds the library it preloads beside itself, through its link.
"$root/usr/bin/varnock-host" /bin/sh -c 'case "$LD_PRELOAD" in */usr/lib/varnock/libvarnock-host.so) ;; *) exit 1;; esac' ||
  fail "varnock-host does not preload its library"

# Purged, nothing of ours is left: only dpkg's own records and the account
# files the system user went into.
packages=()
for deb in "${debs[@]}"; do packages+=("$(dpkg-deb -f "$deb" Package)"); done
dpkg_root --purge "${packages[@]}" >"$scratch/purge.log" 2>&1 || fail "purge:$(sed 's/^/ /' "$scratch/purge.log")"
left=$(cd "$root" && find . -mindepth 1 ! -type d ! -path './var/lib/dpkg/*' ! -path './var/log/*' \
  ! -regex '\./etc/\(passwd\|group\|shadow\|gshadow\|\.pwd\.lock\)-?' | sort)
[ -z "$left" ] || fail "left behind after purge: $left"
left=$(cd "$root" && find . -mindepth 1 -type d -name '*varnock*')
[ -z "$left" ] || fail "folders left behind after purge: $left"
echo "check-deb: $(for d in "${debs[@]}"; do basename "$d"; done | tr '\n' ' ')lintian clean, installed, run, purged"
