#!/usr/bin/env bash
# Builds, installs a KDR_HOME and runs the end-to-end demo on it:
#   1. build and install into build/kdr_home;
#   2. copy that installation into a fresh temporary KDR_HOME with a private runtime directory;
#   3. put a sample file into the vault with kdrvault, which prints its ticket;
#   4. run the demo client, which loads KDR_HOME/lib/libVXNClientProxyDll.so and goes through
#      the library: the library launches kdrcached through KDR_HOME/startvxn.sh, registers the
#      ticket, downloads, opens and reads, uploads, rolls back, localizes an error text;
#   5. stop the server and show its log.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

step() { printf '\n== %s\n' "$*"; }
fail() { printf '\ndemo: FAILED: %s\n' "$*" >&2; exit 1; }

step "Building and installing"
scripts/install-deps.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DKDR_BUILD_TESTS=OFF -DKDR_BUILD_BENCH=OFF >/dev/null \
  || fail "cmake could not configure build/demo"
cmake --build build/demo || fail "the build failed"
cmake --install build/demo --prefix "$ROOT/build/kdr_home" >/dev/null || fail "the install failed"
echo "Installed KDR_HOME at $ROOT/build/kdr_home"
for f in startvxn.sh bin/kdrcached bin/kdrvault lib/libVXNClientProxyDll.so; do
  [ -e "build/kdr_home/$f" ] || fail "the installation lacks $f"
done
CLIENT=$ROOT/build/demo/demo/kdr_demo_client
[ -x "$CLIENT" ] || fail "the demo client was not built ($CLIENT)"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kdr-demo.XXXXXX") || fail "no temporary directory"
SERVER_PID=
cleanup() {
  if [ -n "$SERVER_PID" ] && kill -0 "$SERVER_PID" 2>/dev/null; then
    kill -TERM "$SERVER_PID" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$SERVER_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

step "A clean KDR_HOME in $WORK/home"
cp -a build/kdr_home "$WORK/home"
rm -rf "$WORK/home/cache" "$WORK/home/vault"
mkdir -p "$WORK/home/cache" "$WORK/home/vault" "$WORK/run"
chmod 700 "$WORK/run"
export KDR_HOME=$WORK/home
export KDR_RUNTIME_DIR=$WORK/run              # pipes of this demo only
export KDR_VXNSTARTUPLOG=$WORK/startup.log     # what the launch itself prints (normally nothing)
SERVER_LOG=$KDR_HOME/log/kdrcached.log         # where the launched server logs
export VXN_CONNECTTIMEOUT=1                    # no server yet: launch it after a second

step "Putting a sample file into the vault"
head -c 200000 /dev/urandom > "$WORK/sample.bin"
head -c 150000 /dev/urandom > "$WORK/upload.bin"
TICKET=$("$KDR_HOME/bin/kdrvault" put "$WORK/sample.bin" --name sample.bin) \
  || fail "kdrvault put failed"
echo "ticket (${#TICKET} characters): ${TICKET:0:72}..."
"$KDR_HOME/bin/kdrvault" list || fail "kdrvault list failed"

step "Running the demo client through the library"
set +e
"$CLIENT" "$TICKET" "$WORK/sample.bin" "$WORK/upload.bin"
CLIENT_RC=$?
set -e

JAVA_RC=0
JAR=$KDR_HOME/lib/FileCacheProxy.jar
if command -v javac >/dev/null 2>&1 && [ -f "$JAR" ] && [ -f "$KDR_HOME/lib/libVXNJavaClientProxy.so" ]; then
  step "Running the Java demo through KdrFileCache (same server)"
  mkdir -p "$WORK/java"
  if javac -cp "$JAR" -d "$WORK/java" demo/JavaDemo.java; then
    set +e
    # No java.library.path: the jar finds the JNI library beside it in KDR_HOME/lib.
    java -cp "$JAR:$WORK/java" JavaDemo "$TICKET" "$WORK/sample.bin" "$WORK/upload.bin"
    JAVA_RC=$?
    set -e
  else
    JAVA_RC=1
    echo "demo: the Java demo did not compile" >&2
  fi
else
  step "No Java demo: javac, the jar or the JNI library is missing"
fi

SERVER_PID=$(sed -n 's/.*starting (process \([0-9]*\)).*/\1/p' "$SERVER_LOG" 2>/dev/null | tail -1)

step "The server's status (kdrcstore status)"
sleep 2  # the server renews its status every 2 s
"$KDR_HOME/bin/kdrcstore" status || echo "(no status)"

step "Stopping kdrcached${SERVER_PID:+ (process $SERVER_PID)}"
if [ -n "$SERVER_PID" ]; then
  kill -TERM "$SERVER_PID" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$SERVER_PID" 2>/dev/null && fail "kdrcached did not stop on SIGTERM"
else
  echo "(the server never started)"
fi

step "The server's log ($SERVER_LOG)"
cat "$SERVER_LOG" 2>/dev/null || echo "(no log)"
[ -s "$WORK/startup.log" ] && { echo "-- the launch printed:"; cat "$WORK/startup.log"; }

[ "$CLIENT_RC" -eq 0 ] || fail "the demo client reported failed steps (exit status $CLIENT_RC)"
[ "$JAVA_RC" -eq 0 ] || fail "the Java demo reported failed steps (exit status $JAVA_RC)"
step "Demo finished: every step succeeded"
