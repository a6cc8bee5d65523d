#!/usr/bin/env bash
# Builds the libFuzzer targets (the "fuzz" preset: clang, ASan + UBSan) and
# runs them.
#   scripts/fuzz.sh                    hunt: every target, 60 s each, a new seed every time
#   scripts/fuzz.sh -t 600 eeprom      hunt: one target, 10 minutes
#   scripts/fuzz.sh --ci               what CI runs: the same verdict for the same commit
#   scripts/fuzz.sh --replay [target]  only replay the committed inputs, in two orders
# --ci replays every committed input (fuzz/corpus/<target>) once in file
# order and once in reverse order, then fuzzes each target from a fixed seed
# for a fixed number of runs.
# Hunting keeps new inputs in build/fuzz/corpus/<target> (the committed ones
# are only read) and findings in build/fuzz/findings/. Every input runs on a
# machine of its own, so a finding replays from its file alone:
#   build/fuzz/fuzz/fuzz_<target> <file>
# Exit status: 0 nothing found, 1 a target found something, 2 bad usage.
set -euo pipefail
source "$(dirname "$0")/common.sh"
root="$(torvelin_root)"
cd "$root"

mode=hunt
seconds=60
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    -t|--seconds) seconds="$2"; shift 2 ;;
    --ci) mode=ci; shift ;;
    --replay) mode=replay; shift ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    -*) echo "fuzz.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
all_targets=(registry device_calls eeprom hostile_controller)
[ ${#targets[@]} -eq 0 ] && targets=("${all_targets[@]}")
for target in "${targets[@]}"; do
  [[ " ${all_targets[*]} " == *" $target "* ]] ||
    { echo "fuzz.sh: no fuzz target '$target' (known: ${all_targets[*]})" >&2; exit 2; }
done

# Runs of the fixed-seed stage of --ci, per target: each about 15 s on CI's
# machine (a boot per input). With the replays, the whole stage takes about a
# minute after the build.
declare -A ci_runs=([registry]=60000 [device_calls]=9000 [eeprom]=4500 [hostile_controller]=9000)
ci_seed=20261207

torvelin_install clang libclang-rt-14-dev
torvelin_build fuzz -j2 --target "${targets[@]/#/fuzz_}" >&2

out="$root/build/fuzz"
mkdir -p "$out/findings"
# -timeout: a single input running this long is a hang (every call the
# targets make is bounded well below it). -rss_limit_mb: the machines'
# arenas are mapped, not leaked.
common=(-timeout=30 -rss_limit_mb=4096)
status=0

# Every committed input of `target`, in file order, then in reverse order.
replay() {
  local target="$1" binary="$2" log="$out/$1.replay.log"
  local files=()
  mapfile -t files < <(find "fuzz/corpus/$target" -type f | sort)
  [ ${#files[@]} -gt 0 ] || return 0
  local reversed=()
  for ((i = ${#files[@]} - 1; i >= 0; i--)); do reversed+=("${files[$i]}"); done
  local order
  for order in forward reverse; do
    local list=("${files[@]}")
    [ "$order" = reverse ] && list=("${reversed[@]}")
    if ! "$binary" "${common[@]}" -artifact_prefix="$out/findings/$target-" "${list[@]}" \
        >"$log" 2>&1; then
      echo "   FOUND: replaying the ${#files[@]} committed inputs ($order) failed; see $log" >&2
      tail -n 30 "$log" >&2
      return 1
    fi
  done
  echo "   replayed ${#files[@]} committed inputs, in file order and in reverse: all passed"
}

for target in "${targets[@]}"; do
  binary="$out/fuzz/fuzz_$target"
  [ -x "$binary" ] || { echo "no fuzz target '$target'" >&2; exit 2; }
  start=$(date +%s)
  echo "== $target"
  if ! replay "$target" "$binary"; then
    status=1
    continue
  fi
  [ "$mode" = replay ] && continue

  mkdir -p "$out/corpus/$target"
  log="$out/$target.log"
  if [ "$mode" = ci ]; then
    # New inputs go to a scratch folder, so the run starts from the committed
    # corpus alone every time.
    scratch="$out/ci-corpus/$target"
    rm -rf "$scratch" && mkdir -p "$scratch"
    run=(-seed="$ci_seed" -runs="${ci_runs[$target]}" "$scratch" "fuzz/corpus/$target")
    what="seed $ci_seed, ${ci_runs[$target]} runs"
  else
    run=(-max_total_time="$seconds" "$out/corpus/$target" "fuzz/corpus/$target")
    what="${seconds} s"
  fi
  if ! "$binary" "${run[@]}" "${common[@]}" -print_final_stats=1 \
      -artifact_prefix="$out/findings/$target-" 2>"$log"; then
    echo "   FOUND something ($what): see $log and $out/findings/" >&2
    tail -n 30 "$log" >&2
    status=1
  fi
  grep -E "stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added" \
    "$log" | sed 's/^/   /' || true
  echo "   $what, $(( $(date +%s) - start )) s in all"
done
exit $status
