#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and the machine
# lacks. Installs nothing when everything is there already.
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_file() { [ -e "$1" ]; }

have_cmd cmake || need+=(cmake)
have_cmd ninja || need+=(ninja-build)
have_cmd g++ || need+=(g++)
have_cmd clang++ || need+=(clang)
have_file /usr/include/gtest/gtest.h || need+=(libgtest-dev libgmock-dev)
have_file /usr/include/benchmark/benchmark.h || need+=(libbenchmark-dev)
have_cmd javac || need+=(default-jdk-headless)
have_file /usr/share/java/junit-platform-console-standalone.jar || need+=(junit5)
# clang's sanitizer runtimes (ASan for the JVM preload, libFuzzer).
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.asan-x86_64.so >/dev/null 2>&1 || need+=(libclang-rt-dev)
have_cmd python3 || need+=(python3)
have_cmd clang-format || need+=(clang-format)  # the format check (git clang-format)
have_cmd git || need+=(git)  # the format check reads the changed lines
have_cmd help2man || need+=(help2man)   # the man pages
have_cmd dpkg-deb || need+=(dpkg)       # the package test (dpkg -x)
have_cmd dpkg-shlibdeps || need+=(dpkg-dev)  # the package's dependencies (cpack)
have_cmd systemd-analyze || need+=(systemd)  # the package test checks the user unit
have_cmd pkg-config || need+=(pkg-config)  # the package test
# The S3 vault (libcurl) and the throw-away Ceph RGW its tests run against (scripts/rgw.sh).
have_file /usr/include/x86_64-linux-gnu/curl/curl.h || have_file /usr/include/curl/curl.h \
  || need+=(libcurl4-openssl-dev)
have_cmd ceph-mon || need+=(ceph-mon)
have_cmd ceph-osd || need+=(ceph-osd)
have_cmd radosgw || need+=(radosgw)
have_cmd radosgw-admin || need+=(ceph-common)
have_cmd curl || need+=(curl)
# The metrics endpoint's HTTP server, and the Prometheus server its test scrapes it with.
have_file /usr/include/microhttpd.h || need+=(libmicrohttpd-dev)
have_cmd prometheus || need+=(prometheus)

if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${need[*]}" >&2
    echo "install-deps: installing them needs root; run:" >&2
    echo "    sudo apt-get update && sudo apt-get install --no-install-recommends ${need[*]}" >&2
    echo "install-deps: then run this command again." >&2
    exit 1
  fi
  echo "install-deps: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${need[@]}"
fi
