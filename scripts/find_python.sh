# Sourced by the scripts: prints a Python interpreter of version 3.12 or later.
find_python() {
  local candidate
  for candidate in python3.12 python3.13 python3 /usr/bin/python3.13 /usr/bin/python3.12 \
      "$HOME"/.pyenv/versions/3.1[2-9]*/bin/python3; do
    if "$candidate" -c 'import sys; sys.exit(sys.version_info < (3, 12))' >/dev/null 2>&1; then
      echo "$candidate"
      return 0
    fi
  done
  echo "no Python >= 3.12 found" >&2
  return 1
}
