#!/usr/bin/env bash
# Runs JUnit test classes in one JVM with -Xcheck:jni and fails when the JVM reports a JNI
# warning or error, even if every test passed.
#
# usage: run_junit.sh JAVA JUNIT_JAR CLASSPATH JNI_LIB_DIR FAKE_LIB HOME ASAN_RUNTIME CLASS...
#   HOME          "fake": KDR_HOME is a temporary directory whose lib/ holds FAKE_LIB as
#                 libVXNClientProxyDll.so; "none": KDR_HOME is unset.
#   ASAN_RUNTIME  empty, or the AddressSanitizer runtime to preload into the JVM (the JNI
#                 library was built with it).
set -u
java=$1 junit=$2 cp=$3 libdir=$4 fake=$5 home=$6 asan=$7
shift 7

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kdr-junit.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/home/lib" "$tmp/fake" "$tmp/run"
chmod 700 "$tmp/run"
cp "$fake" "$tmp/home/lib/libVXNClientProxyDll.so" || exit 1

export KDR_FAKE_DIR="$tmp/fake"
export KDR_RUNTIME_DIR="$tmp/run"
if [ "$home" = fake ]; then
  export KDR_HOME="$tmp/home"
else
  unset KDR_HOME
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
timeout --kill-after=5 100 "${preload[@]}" "$java" -Xcheck:jni -Djava.library.path="$libdir" -jar "$junit" \
  --disable-banner --disable-ansi-colors --fail-if-no-tests --details=tree \
  --class-path "$cp" "${selects[@]}" >"$tmp/out.log" 2>&1
rc=$?
cat "$tmp/out.log"

if grep -E -n '^WARNING|WARNING in native method|FATAL ERROR in native method' "$tmp/out.log"; then
  echo "run_junit: the JVM reported JNI misuse (lines above)" >&2
  exit 1
fi
if [ $rc -ne 0 ]; then
  echo "run_junit: JUnit exit status $rc" >&2
fi
exit $rc
