#!/usr/bin/env bash
# Soaks the client: one Client through lossy UDP proxies to bacpypes3 devices
# (tests/soak/soak.py) at loss rates 1 %, 5 % and 20 % in turn, seed after
# seed, for MINUTES (default 10). Prints each run's outcomes, totals per loss
# rate at the end and, for every run that broke a rule, its seed and the
# command that replays it:
#
#   bash scripts/soak.sh [MINUTES]
#   bash scripts/soak.sh --seed 7                 # one run again
#
# Further options (--rounds, --operations, --loss) go to soak.py. Installs
# the package like the test command, into the same virtual environment.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
args=("$@")
if [ $# -eq 0 ]; then
  args=(--minutes 10)
elif [[ $1 =~ ^[0-9]+(\.[0-9]+)?$ ]]; then
  args=(--minutes "$@")
fi

source "$root/scripts/find_python.sh"
python=$(find_python)
venv="$root/build/venv-test"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -c 'import scikit_build_core, bacpypes3' >/dev/null 2>&1 ||
  "$venv/bin/python" -m pip install -q --disable-pip-version-check 'scikit-build-core>=0.10' 'bacpypes3==0.0.110'
CMAKE_BUILD_PARALLEL_LEVEL=$(nproc 2>/dev/null || echo 2) "$venv/bin/python" -m pip install -q \
  --disable-pip-version-check --no-build-isolation --no-deps --force-reinstall \
  --config-settings=build-dir="$root/build/py-release" --config-settings=cmake.define.FERROMESH_WERROR=ON "$root"
echo "== $(uptime)"
# -P keeps the source tree off sys.path: the installed package is soaked.
exec "$venv/bin/python" -P "$root/tests/soak/soak.py" "${args[@]}"
