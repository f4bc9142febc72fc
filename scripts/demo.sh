#!/usr/bin/env bash
# Builds, installs a KDR_HOME and runs the end-to-end demo on it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DKDR_BUILD_TESTS=OFF -DKDR_BUILD_BENCH=OFF >/dev/null
cmake --build build/demo
cmake --install build/demo --prefix "$PWD/build/kdr_home" >/dev/null
echo "Installed KDR_HOME at $PWD/build/kdr_home"
