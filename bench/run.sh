#!/usr/bin/env bash
# Builds and runs every benchmark: the C++ ones (Google Benchmark, Release),
# the Python comparison with bacpypes3, then the end-to-end one over UDP
# against the canned device. Installs what they need when it is missing.
# Pass --cpp, --python or --e2e to run only one part; further arguments go to
# the programs (e.g. --benchmark_filter=tick for the C++ part, --cases
# rp-1-64 for the end-to-end one).
# The machine should be otherwise idle: check `uptime` first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

which=all
case "${1:-}" in
  --cpp) which=cpp; shift ;;
  --python) which=python; shift ;;
  --e2e) which=e2e; shift ;;
esac
if [ "$which" = all ] && [ $# -gt 0 ]; then
  echo "arguments for the programs need --cpp or --python first" >&2
  exit 2
fi

need_apt=()
[ -f /usr/lib/x86_64-linux-gnu/cmake/benchmark/benchmarkConfig.cmake ] || [ -f /usr/include/benchmark/benchmark.h ] ||
  need_apt+=(libbenchmark-dev)
command -v cmake >/dev/null || need_apt+=(cmake)
command -v g++ >/dev/null || need_apt+=(g++)
command -v gcc >/dev/null || need_apt+=(gcc)
source "$root/scripts/apt_install.sh"
apt_install "${need_apt[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
echo "== $(uptime)"

if [ "$which" = all ] || [ "$which" = cpp ]; then
  build="$root/build/bench-release"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFERROMESH_BUILD_BENCHMARKS=ON \
    -DFERROMESH_BUILD_TESTS=OFF -DFERROMESH_WERROR=ON >/dev/null
  cmake --build "$build" -j "$jobs" --target codec_bench services_bench stack_bench
  for program in codec_bench services_bench stack_bench; do
    "$build/bench/$program" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
  done
fi

if [ "$which" != cpp ]; then
  source "$root/scripts/find_python.sh"
  python=$(find_python)
  venv="$root/build/venv-bench"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -c 'import scikit_build_core, bacpypes3' >/dev/null 2>&1 ||
    "$venv/bin/python" -m pip install -q --disable-pip-version-check 'scikit-build-core>=0.10' 'bacpypes3==0.0.110'
  CMAKE_BUILD_PARALLEL_LEVEL=$jobs "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    --no-build-isolation --no-deps --force-reinstall --config-settings=build-dir="$root/build/py-bench" \
    --config-settings=cmake.define.FERROMESH_WERROR=ON "$root"
  # -P keeps the source tree off sys.path: the installed package is measured.
  if [ "$which" != e2e ]; then
    "$venv/bin/python" -P "$root/bench/python_bench.py" "$@"
  fi
  if [ "$which" != python ]; then
    mkdir -p "$root/build/bench-e2e"
    gcc -O2 -Wall -Wextra -Werror -o "$root/build/bench-e2e/canned_device" "$root/bench/canned_device.c"
    "$venv/bin/python" -P "$root/bench/e2e_bench.py" --device "$root/build/bench-e2e/canned_device" "$@"
  fi
fi
