#!/usr/bin/env bash
# Installs ferromesh with its demo extra into a virtual environment under
# build/ and runs the demo: a simulated BACnet/IP device on 127.0.0.1,
# discovered, read and written through the stack. Arguments go to the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source "$root/scripts/find_python.sh"
python=$(find_python)
venv="$root/build/venv-demo"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$root[demo]"
# -P: import the installed package, not the source tree.
exec "$venv/bin/python" -P -m ferromesh demo "$@"
