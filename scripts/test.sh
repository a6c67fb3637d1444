#!/usr/bin/env bash
# Runs every test: the C++ unit tests (built with AddressSanitizer and
# UndefinedBehaviorSanitizer, warnings as errors), the Python and
# interoperability tests, the type check and a brief run of every fuzz target.
# Installs what the tests need when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

need_apt=()
[ -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || [ -d /usr/src/googletest ] || need_apt+=(libgtest-dev)
[ -f /usr/lib/x86_64-linux-gnu/cmake/benchmark/benchmarkConfig.cmake ] || [ -f /usr/include/benchmark/benchmark.h ] ||
  need_apt+=(libbenchmark-dev)
command -v cmake >/dev/null || need_apt+=(cmake)
command -v g++ >/dev/null || need_apt+=(g++)
source "$root/scripts/apt_install.sh"
apt_install "${need_apt[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
build="$root/build/test-sanitize"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DFERROMESH_WERROR=ON -DFERROMESH_SANITIZE=ON >/dev/null
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs"

# The benchmarks are only built here, so that they keep compiling; bench/run.sh runs them.
bench_build="$root/build/bench-release"
cmake -S "$root" -B "$bench_build" -DCMAKE_BUILD_TYPE=Release -DFERROMESH_BUILD_BENCHMARKS=ON \
  -DFERROMESH_BUILD_TESTS=OFF -DFERROMESH_WERROR=ON >/dev/null
cmake --build "$bench_build" -j "$jobs"
mkdir -p "$root/build/bench-e2e"
gcc -O2 -Wall -Wextra -Werror -o "$root/build/bench-e2e/canned_device" "$root/bench/canned_device.c"

# Python: build and install the package into a virtual environment under
# build/, run the Python tests against it, then again with the extension built
# with AddressSanitizer and UndefinedBehaviorSanitizer.
source "$root/scripts/find_python.sh"
python=$(find_python)
# ferromesh/_enums.py is generated from the tables the C++ core includes.
"$python" "$root/scripts/generate_enums.py" --check

# Creates the venv when missing and installs the build backend and the test
# tools once; bacpypes3 is the independent BACnet device of the interoperability
# tests and the demo; rich is the cli extra. matplotlib (the plot extra) goes
# into the release venv only: its font module cannot start with the sanitizer
# runtime preloaded, so the plotting tests skip in the sanitizer run.
test_tools=('scikit-build-core>=0.10' pytest hypothesis mypy 'bacpypes3==0.0.110' 'rich>=13')
prepare_venv() {
  local venv=$1 plot=${2:-}
  local tools=("${test_tools[@]}") modules=scikit_build_core,pytest,hypothesis,mypy,bacpypes3,rich
  if [ -n "$plot" ]; then
    tools+=('matplotlib>=3.7')
    modules+=,matplotlib
  fi
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -c "import $modules" >/dev/null 2>&1 ||
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "${tools[@]}"
}

# install_package VENV BUILD_DIR [extra pip arguments]: the build directory
# persists so that re-runs rebuild only what changed.
install_package() {
  local venv=$1 build_dir=$2
  shift 2
  CMAKE_BUILD_PARALLEL_LEVEL=$jobs "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    --no-build-isolation --no-deps --force-reinstall \
    --config-settings=build-dir="$build_dir" \
    --config-settings=cmake.define.FERROMESH_WERROR=ON "$@" "$root"
}

venv="$root/build/venv-test"
prepare_venv "$venv" plot
install_package "$venv" "$root/build/py-release"
# -P keeps the source tree off sys.path, so the installed package is tested.
# tests/peers checks the bacpypes3 test peers themselves; it needs no ferromesh.
"$venv/bin/python" -P -m pytest -q -p no:cacheprovider "$root/tests/python" "$root/tests/interop" "$root/tests/peers"
# One short soak run per loss rate (about two minutes); scripts/soak.sh runs it longer.
"$venv/bin/python" -P -m pytest -q -p no:cacheprovider "$root/tests/soak"
# The type stubs, the examples checked against them as users' code, and the
# package's pure-Python host code.
"$venv/bin/python" -m mypy --strict --cache-dir "$root/build/mypy-cache" "$root/ferromesh/__init__.pyi" "$root/examples" \
  "$root/ferromesh/errors.py" "$root/ferromesh/names.py" "$root/ferromesh/values.py" "$root/ferromesh/views.py" \
  "$root/ferromesh/client.py" "$root/ferromesh/host.py" "$root/ferromesh/polling.py" "$root/ferromesh/discovery.py" \
  "$root/ferromesh/site.py" "$root/ferromesh/scan.py" "$root/ferromesh/ede.py" \
  "$root/ferromesh/subscriptions.py" \
  "$root/ferromesh/cli" "$root/ferromesh/demo_device.py" "$root/ferromesh/__main__.py"

venv_asan="$root/build/venv-asan"
prepare_venv "$venv_asan"
install_package "$venv_asan" "$root/build/py-asan" \
  --config-settings=cmake.build-type=Debug --config-settings=cmake.define.FERROMESH_SANITIZE=ON
# The interpreter is not instrumented: preload the runtime; PYTHONMALLOC=malloc
# lets it see every Python object allocation too. pytest captures stderr, so a
# sanitizer report is written to files and shown when the run fails.
sanitizer_log="$root/build/py-asan/sanitizer"
rm -f "$sanitizer_log".*
if ! LD_PRELOAD="$(g++ -print-file-name=libasan.so)" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:log_path=$sanitizer_log" UBSAN_OPTIONS="print_stacktrace=1:log_path=$sanitizer_log" \
    "$venv_asan/bin/python" -P -m pytest -q -p no:cacheprovider "$root/tests/python" "$root/tests/interop"; then
  cat "$sanitizer_log".* >&2 2>/dev/null || true
  exit 1
fi

# Every fuzz target briefly (FERROMESH_FUZZ_SECONDS each, 20 by default: sixteen targets, a little over five minutes; 0 skips).
fuzz_seconds=${FERROMESH_FUZZ_SECONDS:-20}
if [ "$fuzz_seconds" != 0 ]; then
  bash "$root/scripts/fuzz.sh" "$fuzz_seconds"
fi
