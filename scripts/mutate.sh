#!/usr/bin/env bash
# How many seeded driver faults does the test suite catch?
#
#   scripts/mutate.sh [--count N] [--seed S] [--list] [--limit SECONDS] [--test "COMMAND"]
#
# Runs the mutation sampler (mutate.py, kept beside the project in
# ../shared/tools, or wherever TORVELIN_MUTATE points) on a throwaway clone of
# the current commit: each sampled fault (a flipped comparison, a changed
# constant, a deleted call in startup/ hw/ controller/ device/ availability/)
# is applied alone, the debug tree rebuilt and the suite run. The sampler edits
# source files while it works, so it never runs in your working tree; commit
# first what you want measured. Defaults: 80 faults, seed 16, limit 180 s (the sample the
# test suite's score is recorded for). The same seed and count give the same
# sample as long as the driver's sources are unchanged; a score compares two
# suites only on the same driver.
set -euo pipefail
source "$(dirname "$0")/common.sh"
root="$(torvelin_root)"
sampler="${TORVELIN_MUTATE:-$root/../shared/tools/mutate.py}"
if [ ! -f "$sampler" ]; then
  echo "mutate.sh: no sampler at $sampler (set TORVELIN_MUTATE to mutate.py's path)" >&2
  exit 2
fi
args=("$@")
[[ " $* " == *" --count "* ]] || args+=(--count 80)
[[ " $* " == *" --seed "* ]] || args+=(--seed 16)
# A suite that runs past this is counted as having caught a hang; three
# minutes leave a loaded machine room for the suite's half minute.
[[ " $* " == *" --limit "* ]] || args+=(--limit 180)

if ! git -C "$root" diff --quiet HEAD -- startup hw controller device availability tests; then
  echo "mutate.sh: uncommitted changes to the driver or tests are not measured (HEAD is)" >&2
fi
torvelin_install
work="$(mktemp -d "${TMPDIR:-/tmp}/torvelin-mutate.XXXXXX")"
trap 'rm -rf "$work"' EXIT
git clone -q "$root" "$work/tree"
git -C "$work/tree" checkout -q "$(git -C "$root" rev-parse HEAD)"
cd "$work/tree"
if [[ " $* " != *" --list "* ]]; then
  echo "Building the debug tree in $work/tree ..." >&2
  torvelin_build dev >/dev/null
fi
# One line per fault as it is decided, then the score.
python3 "$sampler" --tree . "${args[@]}"
