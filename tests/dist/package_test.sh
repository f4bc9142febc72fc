#!/usr/bin/env bash
# The Debian package as a user gets it: `cpack -G DEB` from the build directory, unpacked with
# `dpkg -x` into a scratch root; its KDR_HOME (a copy, writable) runs the demo client through
# the packaged library, which launches the packaged kdrcached; the C header compiles as C and
# links through the packaged pkg-config file.
#   package_test.sh BUILD_DIR DEMO_CLIENT
set -euo pipefail
BUILD=$1
CLIENT=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kdr-pkg.XXXXXX")
SERVER_PID=
cleanup() {
  [ -n "$SERVER_PID" ] && kill -TERM "$SERVER_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "package_test: FAILED: $*" >&2; exit 1; }

(cd "$WORK" && cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/out" >/dev/null) \
  || fail "cpack -G DEB"
DEB=$(ls "$WORK"/out/*.deb) || fail "no package was made"
INFO=$(dpkg-deb --info "$DEB")
[[ $INFO == *"Package: kdr-clientcache"* ]] || fail "package metadata"
dpkg -x "$DEB" "$WORK/root"
P=$WORK/root/opt/kdr
for f in startvxn.sh bin/kdrcached bin/kdrvault bin/kdrcstore lib/libVXNClientProxyDll.so \
         include/VXNClientProxy.h lib/pkgconfig/kdr-clientproxy.pc \
         lib/systemd/user/kdrcached.service; do
  [ -e "$P/$f" ] || fail "the package lacks $f"
done
grep -q "^ExecStart=/opt/kdr/bin/kdrcached" "$P/lib/systemd/user/kdrcached.service" \
  || fail "the unit does not start the packaged server"
for lib in libcurl libmicrohttpd libstdc++6; do
  [[ $INFO == *"Depends:"*"$lib"* ]] || fail "the package does not depend on $lib"
done
# The unit as systemd reads it, pointed at the unpacked tree (verify looks for ExecStart's
# program), and confined well enough: an exposure of at most 4.0 ("OK").
if command -v systemd-analyze >/dev/null; then
  sed "s|/opt/kdr|$P|g" "$P/lib/systemd/user/kdrcached.service" > "$WORK/kdrcached.service"
  systemd-analyze verify "$WORK/kdrcached.service" || fail "systemd-analyze verify of the unit"
  systemd-analyze security --offline=true --threshold=40 "$WORK/kdrcached.service" >/dev/null \
    || fail "systemd-analyze security: the unit is exposed above 4.0"
fi
[[ $("$P/bin/kdrcached" --version) == "kdrcached "[0-9]* ]] || fail "kdrcached --version"

# The header and the pkg-config file, from C.
cat > "$WORK/c.c" <<'C'
#include <VXNClientProxy.h>
#include <stdio.h>
typedef int VXN_ReadBytesFn_t(VXNFileHandle, const char*, int, int*, void*);
int main(void) {
  int enabled = -1;
  int rc = VXN_IsVXNEnabled(&enabled);
  printf("%d %d\n", rc, enabled);
  VXN_ReadBytesFn_t* volatile read = VXN_ReadBytes; /* the slot's signature, checked */
  void (*volatile last)(void) = endSynchronize;
  return read == 0 || last == 0;
}
C
FLAGS=$(PKG_CONFIG_PATH=$P/lib/pkgconfig pkg-config --define-variable=prefix="$P" \
        --cflags --libs kdr-clientproxy) || fail "pkg-config"
cc -std=c11 -Wall -Werror -o "$WORK/c" "$WORK/c.c" $FLAGS || fail "the C header or the link"

# The demo against the packaged installation.
cp -a "$P" "$WORK/home"
mkdir -p "$WORK/run"
chmod 700 "$WORK/run"
export KDR_HOME=$WORK/home KDR_RUNTIME_DIR=$WORK/run VXN_CONNECTTIMEOUT=1
"$WORK/c" >/dev/null || fail "the C program"
head -c 100000 /dev/urandom > "$WORK/sample.bin"
head -c 50000 /dev/urandom > "$WORK/upload.bin"
TICKET=$("$KDR_HOME/bin/kdrvault" put "$WORK/sample.bin") || fail "kdrvault put"
set +e
"$CLIENT" "$TICKET" "$WORK/sample.bin" "$WORK/upload.bin" > "$WORK/demo.out" 2>&1
RC=$?
set -e
LOG=$KDR_HOME/log/kdrcached.log
SERVER_PID=$(sed -n 's/.*starting (process \([0-9]*\)).*/\1/p' "$LOG" 2>/dev/null | tail -1)
[ "$RC" -eq 0 ] || { cat "$WORK/demo.out" "$LOG"; fail "the demo client (status $RC)"; }
[ -n "$SERVER_PID" ] || fail "no server log in $LOG"
# No shell stayed between the library and the server.
[ "$(ps -o comm= -p "$(ps -o ppid= -p "$SERVER_PID" | tr -d ' ')")" != "sh" ] \
  || fail "a shell stays beside the server"
"$KDR_HOME/bin/kdrcstore" status >/dev/null || fail "kdrcstore status of the running server"
kill -TERM "$SERVER_PID"
for _ in $(seq 100); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$SERVER_PID" 2>/dev/null && fail "the server did not stop on SIGTERM"
SERVER_PID=
echo "package_test: the package installs and runs"
