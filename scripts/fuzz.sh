#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer),
# writes their seed corpora and runs each target in turn.
#
#   scripts/fuzz.sh [seconds-per-target] [target...]
#
# Default: 30 seconds for every target. Fails when any target finds a crash,
# a failed check, a leak or a hang, and names it; the input that did it is left
# in build/fuzz/artifacts/<target>/. What the targets learn is kept in
# build/fuzz/corpus/<target>/, so later and longer runs start from there.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-30}
shift || true

if ! command -v clang++-14 >/dev/null ||
   ! compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
  source "$root/scripts/apt_install.sh"
  apt_install clang-14 libclang-rt-14-dev
fi

build="$root/build/fuzz"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFERROMESH_BUILD_FUZZERS=ON -DFERROMESH_BUILD_TESTS=OFF >/dev/null
if ! cmake --build "$build" -j 2 >"$build/build.log" 2>&1; then
  cat "$build/build.log"
  exit 1
fi

captures="$root/../shared/captures"
[ -d "$captures" ] || echo "note: $captures not found; seeding from the built-in vectors only"
rm -rf "$build/seeds"
python3 "$root/fuzz/make_seeds.py" "$captures" "$build/seeds" >/dev/null

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in "$root"/fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

failed=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  log="$build/logs/$target.log"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")" "$build/seeds/$target"
  # New finds go to the first directory; seeds and kept reproducers are read only.
  dirs=("$corpus" "$build/seeds/$target")
  [ -d "$root/fuzz/regressions/$target" ] && dirs+=("$root/fuzz/regressions/$target")
  if "$build/fuzz/$target" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
       -artifact_prefix="$artifacts/" "${dirs[@]}" >"$log" 2>&1; then
    echo "ok      $target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 | sed -E 's/^#([0-9]+)[[:space:]]+DONE[[:space:]]+/\1 runs, /')"
  else
    failed+=("$target")
    echo "FAILED  $target (log: $log)"
    grep -E 'ERROR:|check failed|runtime error|Test unit written' "$log" | head -5 | sed 's/^/        /' || true
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found failures in: ${failed[*]}"
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets, ${seconds}s each, no failures"
