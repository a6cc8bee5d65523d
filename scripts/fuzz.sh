#!/usr/bin/env bash
# Builds the libFuzzer targets (the "fuzz" preset: clang, ASan + UBSan) and
# runs each one for a while with its seed corpus.
#   scripts/fuzz.sh                    every target, 60 s each
#   scripts/fuzz.sh -t 600 eeprom      one target, 10 minutes
#   scripts/fuzz.sh --ci               every target, 30 s each, for CI
# New inputs go to build/fuzz/corpus/<target> (the committed seeds in
# fuzz/corpus/<target> are only read); findings to build/fuzz/findings/.
# Exit status: 0 nothing found, 1 a target found something.
# A finding is reproduced with a fresh machine per input:
#   TORVELIN_FUZZ_FRESH=1 build/fuzz/fuzz/fuzz_<target> <file>
set -euo pipefail
source "$(dirname "$0")/common.sh"
root="$(torvelin_root)"
cd "$root"

seconds=60
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    -t|--seconds) seconds="$2"; shift 2 ;;
    --ci) seconds=30; shift ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -eq 0 ] && targets=(registry device_calls eeprom hostile_controller)

torvelin_install clang libclang-rt-14-dev
torvelin_build fuzz >&2

out="$root/build/fuzz"
mkdir -p "$out/findings"
status=0
for target in "${targets[@]}"; do
  binary="$out/fuzz/fuzz_$target"
  [ -x "$binary" ] || { echo "no fuzz target '$target'" >&2; exit 2; }
  mkdir -p "$out/corpus/$target"
  echo "== $target: ${seconds} s"
  # -timeout: a single input running this long is a hang (every call the
  # targets make is bounded well below it). -rss_limit_mb: the machines'
  # arenas are mapped, not leaked.
  if ! "$binary" "$out/corpus/$target" "fuzz/corpus/$target" \
      -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$out/findings/$target-" 2>"$out/$target.log"; then
    echo "   FOUND something: see $out/$target.log and $out/findings/" >&2
    tail -n 30 "$out/$target.log" >&2
    status=1
  fi
  grep -E "stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added" \
    "$out/$target.log" | sed 's/^/   /' || true
done
exit $status
