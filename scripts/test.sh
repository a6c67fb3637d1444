#!/usr/bin/env bash
# Runs every test: the C++ unit tests (built with AddressSanitizer and
# UndefinedBehaviorSanitizer, warnings as errors), then the Python tests.
# Installs what the tests need when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

need_apt=()
[ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || [ -d /usr/src/googletest ] || need_apt+=(libgtest-dev)
command -v cmake >/dev/null || need_apt+=(cmake)
command -v g++ >/dev/null || need_apt+=(g++)
if [ ${#need_apt[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}"
fi

jobs=$(nproc 2>/dev/null || echo 2)
build="$root/build/test-sanitize"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DFERROMESH_WERROR=ON -DFERROMESH_SANITIZE=ON >/dev/null
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs"
