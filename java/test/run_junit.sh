#!/usr/bin/env bash
# Runs JUnit test classes in one JVM with -Xcheck:jni and fails when the JVM reports a JNI
# warning or error, even if every test passed.
#
# usage: run_junit.sh [--peer PEER | --server KDRCACHED KDRVAULT LOCALE_DIR]
#                     JAVA JUNIT_JAR CLASSPATH JNI_LIB_DIR FAKE_LIB HOME ASAN_RUNTIME CLASS...
#   HOME          "fake": KDR_HOME is a temporary directory whose lib/ holds FAKE_LIB as
#                 libVXNClientProxyDll.so; "none": KDR_HOME is unset;
#                 "installed": like "fake" (FAKE_LIB is then the real client-proxy library),
#                 and the self-proxying warning must not appear;
#                 "self": KDR_HOME is an empty temporary directory, and the self-proxying
#                 warning must appear exactly once.
#   --peer PEER   the kdr_test_peer program: started before the JVM on a private pipe, stopped
#                 after it. The tests get VXN_PROXYPIPENAME pointing at it, and
#                 KDR_PEER_SCRIPT (its --reload file) and KDR_PEER_REQUESTS (its --requests
#                 file) to script it and read what it received.
#   --server KDRCACHED KDRVAULT LOCALE_DIR
#                 a real cache server: started in KDR_HOME (HOME "installed") on a private pipe
#                 before the JVM, stopped with SIGTERM after it; it must end cleanly and its log
#                 must hold no sanitizer report. The JVM runs as an application of that
#                 installation: the first jar of CLASSPATH and the JNI library are copied into
#                 KDR_HOME/lib and no java.library.path is given. The tests get KDR_VAULT_TOOL
#                 (KDRVAULT) to put files into the vault.
#                 With KDR_JUNIT_SETTINGS_FROM_JAVA set, the JVM gets KDR_HOME and the library's
#                 log as the properties kdr.test.home and kdr.test.proxylog instead, and neither
#                 they nor the time-outs are in its environment.
#   ASAN_RUNTIME  empty, or the AddressSanitizer runtime to preload into the JVM (the JNI
#                 library was built with it).
set -u
peer= server= vault= localedir=
if [ "${1:-}" = --peer ]; then
  peer=$2
  shift 2
elif [ "${1:-}" = --server ]; then
  server=$2 vault=$3 localedir=$4
  shift 4
fi
java=$1 junit=$2 cp=$3 libdir=$4 fake=$5 home=$6 asan=$7
shift 7

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kdr-junit.XXXXXX") || exit 1
peerpid= jvmpid= serverpid=
cleanup() {
  if [ -n "$serverpid" ]; then
    kill -KILL "$serverpid" 2>/dev/null
    wait "$serverpid" 2>/dev/null
  fi
  if [ -n "$jvmpid" ]; then
    kill "$jvmpid" 2>/dev/null  # timeout passes the signal on to the JVM
    wait "$jvmpid" 2>/dev/null
  fi
  if [ -n "$peerpid" ]; then
    kill "$peerpid" 2>/dev/null
    wait "$peerpid" 2>/dev/null
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP  # so that the EXIT trap stops the peer on these too
mkdir -p "$tmp/home/lib" "$tmp/selfhome" "$tmp/fake" "$tmp/run"
chmod 700 "$tmp/run"
cp "$fake" "$tmp/home/lib/libVXNClientProxyDll.so" || exit 1

export KDR_FAKE_DIR="$tmp/fake"
export KDR_RUNTIME_DIR="$tmp/run"
case $home in
  fake | installed) export KDR_HOME="$tmp/home" ;;
  self) export KDR_HOME="$tmp/selfhome" ;;
  *) unset KDR_HOME ;;
esac

if [ -n "$peer" ]; then
  # Lives a little longer than the JVM may (timeout below), and is killed when this script ends.
  : >"$tmp/peer.script"
  "$peer" --pipe //./pipe/KDRJUnitPeer --reload "$tmp/peer.script" --requests "$tmp/peer.requests" \
    --ready-file "$tmp/peer.ready" --lifetime 110000 >"$tmp/peer.log" 2>&1 &
  peerpid=$!
  for _ in $(seq 200); do
    [ -s "$tmp/peer.ready" ] && break
    kill -0 "$peerpid" 2>/dev/null || break
    sleep 0.05
  done
  if [ ! -s "$tmp/peer.ready" ]; then
    cat "$tmp/peer.log"
    echo "run_junit: the test peer did not come up" >&2
    exit 1
  fi
  export VXN_PROXYPIPENAME=//./pipe/KDRJUnitPeer
  # The proxy wants a launch script at hand; this one starts nothing (the peer is up).
  printf '#!/bin/sh\nexit 1\n' >"$KDR_HOME/startvxn.sh"
  chmod 700 "$KDR_HOME/startvxn.sh"
  export KDR_PEER_SCRIPT="$tmp/peer.script" KDR_PEER_REQUESTS="$tmp/peer.requests"
  # Nothing is to be launched: a lost peer must fail fast rather than wait for a server.
  export VXN_CONNECTTIMEOUT=2 VXN_STARTUPTIMEOUT=2
  export KDR_VXNPROXYLOG="$tmp/proxy.log"
fi

libpath=(-Djava.library.path="$libdir")
if [ -n "$server" ]; then
  mkdir -p "$KDR_HOME/cache" "$KDR_HOME/vault"
  "$server" --pipe //./pipe/KDRJUnitServer --locale-dir "$localedir" 2>"$tmp/server.log" &
  serverpid=$!
  for _ in $(seq 200); do
    [ -S "$KDR_RUNTIME_DIR/KDRJUnitServer" ] && break
    kill -0 "$serverpid" 2>/dev/null || break
    sleep 0.05
  done
  if [ ! -S "$KDR_RUNTIME_DIR/KDRJUnitServer" ]; then
    cat "$tmp/server.log"
    echo "run_junit: kdrcached did not come up" >&2
    exit 1
  fi
  export VXN_PROXYPIPENAME=//./pipe/KDRJUnitServer KDR_VAULT_TOOL=$vault
  # The server is up: a launch would mean that it was lost, which must fail fast.
  printf '#!/bin/sh\nexit 1\n' >"$KDR_HOME/startvxn.sh"
  chmod 700 "$KDR_HOME/startvxn.sh"
  export VXN_CONNECTTIMEOUT=2 VXN_STARTUPTIMEOUT=2
  export KDR_VXNPROXYLOG="$tmp/proxy.log"
  # An application of the installation: the jar beside the JNI library, no library path.
  jar=${cp%%:*}
  cp "$jar" "$libdir/libVXNJavaClientProxy.so" "$KDR_HOME/lib/" || exit 1
  cp="$KDR_HOME/lib/$(basename "$jar")${cp#"$jar"}"
  libpath=()
  if [ -n "${KDR_JUNIT_SETTINGS_FROM_JAVA:-}" ]; then
    # The installation, the time-outs and the library's log only as the tests give them.
    libpath=(-Dkdr.test.home="$KDR_HOME" -Dkdr.test.proxylog="$tmp/proxy-java.log")
    unset KDR_HOME KDR_VXNPROXYLOG VXN_CONNECTTIMEOUT VXN_STARTUPTIMEOUT
  fi
fi

selects=()
for c in "$@"; do selects+=(--select-class "$c"); done

preload=()
if [ -n "$asan" ]; then
  # The JVM itself is not instrumented: no leak report for it, and its own SIGSEGV handling
  # (implicit null checks, safepoints) must not be taken for a crash.
  preload=(env "LD_PRELOAD=$asan" "ASAN_OPTIONS=detect_leaks=0:handle_segv=0")
fi

# Stop the JVM before CTest's own time-out would kill this script and leave $tmp behind.
timeout --kill-after=5 100 "${preload[@]}" "$java" -Xcheck:jni "${libpath[@]}" -jar "$junit" \
  --disable-banner --disable-ansi-colors --fail-if-no-tests --details=tree \
  --class-path "$cp" "${selects[@]}" >"$tmp/out.log" 2>&1 &
# In the background, so that a signal to this script is handled now, not after the JVM ends.
jvmpid=$!
wait "$jvmpid"
rc=$?
jvmpid=
cat "$tmp/out.log"

if grep -E -n '^WARNING|WARNING in native method|FATAL ERROR in native method' "$tmp/out.log"; then
  echo "run_junit: the JVM reported JNI misuse (lines above)" >&2
  exit 1
fi
warnings=$(grep -c -F -x -e '***** WARNING: The VXN Client Proxy shared library is not installed. *****' \
  -e '*****   Reverting to self-proxying mode. *****' \
  -e '***** (Installing an KDR client update will silence this warning.) *****' "$tmp/out.log")
if [ -n "$serverpid" ]; then
  kill -TERM "$serverpid" 2>/dev/null
  for _ in $(seq 100); do kill -0 "$serverpid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$serverpid" 2>/dev/null; then
    echo "run_junit: kdrcached did not stop on SIGTERM" >&2
    rc=1
  else
    wait "$serverpid"
    status=$?
    serverpid=
    if [ "$status" -ne 0 ]; then
      echo "run_junit: kdrcached ended with status $status" >&2
      rc=1
    fi
  fi
  if grep -n -E 'Sanitizer|runtime error:' "$tmp/server.log"; then
    echo "run_junit: kdrcached reported the lines above" >&2
    rc=1
  fi
fi
case $home in
  self) want=3 ;;
  installed) want=0 ;;
  *) want=$warnings ;;
esac
if [ $rc -ne 0 ]; then
  echo "run_junit: JUnit exit status $rc" >&2
fi
if [ "$warnings" -ne "$want" ]; then
  echo "run_junit: $warnings self-proxying warning lines, expected $want" >&2
  rc=1
fi
if [ -n "$server" ] && [ $rc -ne 0 ]; then
  echo "--- kdrcached log (tail):"
  tail -n 60 "$tmp/server.log"
  echo "--- proxy log (tail):"
  tail -n 60 "$tmp/proxy.log" 2>/dev/null
fi
if [ -n "$peer" ] && [ $rc -ne 0 ]; then
  echo "--- test peer output:"
  cat "$tmp/peer.log"
  echo "--- proxy log (tail):"
  tail -n 60 "$tmp/proxy.log" 2>/dev/null
fi
exit $rc
