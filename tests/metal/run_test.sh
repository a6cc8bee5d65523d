#!/usr/bin/env bash
# The bare-metal test: boots the image under the x86 emulator once per pair of
# its 8255x-family NIC models, so that every model the driver's device table
# takes is brought up and sends, and checks each run (metal/check.py) against
# the frames written, the statistics and the simulated PC's console for the
# same machine.
#
#   tests/metal/run_test.sh [--simulator PATH]
#
# Without --simulator it uses build/dev/tools/torvelin (building it if
# needed). Skips, with a message and status 0, only where the emulator cannot
# be installed. Ends with 'N passed, N failed'.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$root"

simulator=""
if [ "${1:-}" = "--simulator" ]; then simulator="$2"; fi
if [ -z "$simulator" ]; then
  simulator="$root/build/dev/tools/torvelin"
  if [ ! -x "$simulator" ]; then
    cmake --preset dev >/dev/null && cmake --build --preset dev --target torvelin >/dev/null ||
      { echo "metal test: cannot build the simulator for the console comparison"; exit 1; }
  fi
fi

# Every model the emulator offers whose PCI ID the driver's table lists
# (0x1229: i82557a-c, i82558a-b, i82559a-c; 0x1209: i82550, i82551, i82559er,
# i82562; 0x2449: i82801), two to a machine on one hub; the last one alone, so
# a single-controller machine is covered too. Each run has its own seed.
runs=(
  "i82559er i82559c"
  "i82557a i82557b"
  "i82557c i82558a"
  "i82558b i82559a"
  "i82559b i82550"
  "i82551 i82562"
  "i82801"
)

mkdir -p "$root/build/metal-test"
passed=0
failed=0
seed=1
for nics in "${runs[@]}"; do
  out="$root/build/metal-test/$(echo "$nics" | tr ' ' '+')"
  scripts/metal.sh --nics "$nics" --out "$out" --seed "$seed" --frames 52 2>"$out.log"
  status=$?
  if [ "$status" -eq 77 ]; then
    echo "metal test: SKIPPED: the x86 emulator (Debian's qemu-system-x86) cannot be installed here"
    echo "0 passed, 0 failed, 1 skipped"
    exit 0
  fi
  result=$(python3 metal/check.py "$out" --simulator "$simulator")
  echo "$result" | grep -v '^[0-9]* passed'
  summary=$(echo "$result" | tail -n 1)
  p=$(echo "$summary" | sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1/p')
  f=$(echo "$summary" | sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\2/p')
  if [ -z "$p" ]; then
    echo "FAIL $nics: the checker did not finish (run status $status)"
    cat "$out.log"
    f=1
    p=0
  fi
  passed=$((passed + p))
  failed=$((failed + f))
  seed=$((seed + 1))
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
