#!/usr/bin/env bash
# Instructions per frame of the driver's write path and receive path, counted
# by callgrind: a stable figure where wall-clock numbers are noisy.
#
#   scripts/callgrind.sh [BUILD_DIR] [SIZE] [CLIENTS]
#
# Runs bench/frame_cost (torvelin_frame_cost) twice, with N1 and N2 frames,
# counting only inside its three path functions, and divides the difference
# by N2 - N1, so that bring-up and first-use costs drop out:
#   write    NicWrite down to the command unit and the send on the segment
#   service  the interrupt service: acknowledge, drain, delivery to CLIENTS
#   read     an immediate NicRead (per client)
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$(torvelin_root)"

build="${1:-build/bench}"
size="${2:-60}"
clients="${3:-1}"
n1="${N1:-1000}"
n2="${N2:-3000}"

torvelin_install valgrind
if [ ! -x "$build/bench/torvelin_frame_cost" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target torvelin_frame_cost
fi

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# Inclusive instructions of a function in a callgrind output file.
inclusive() {
  callgrind_annotate --inclusive=yes "$1" 2>/dev/null |
    awk -v f="$2" '$0 ~ ("[ :]" f "( |$|\\[)") { gsub(",", "", $1); print $1; exit }'
}

run() {
  local n="$1" out="$tmp/cg.$1"
  valgrind --tool=callgrind --callgrind-out-file="$out" --collect-atstart=no \
    --toggle-collect=FrameCostWrite --toggle-collect=FrameCostService \
    --toggle-collect=FrameCostRead \
    "$build/bench/torvelin_frame_cost" "$n" "$size" "$clients" >/dev/null 2>"$tmp/log.$n" || {
    cat "$tmp/log.$n" >&2
    exit 1
  }
  for f in FrameCostWrite FrameCostService FrameCostRead; do
    echo "$f $(inclusive "$out" "$f")"
  done >"$tmp/counts.$n"
}

run "$n1"
run "$n2"

echo "instructions per frame ($size-byte frames, $clients client(s), N=$n1 and $n2):"
join "$tmp/counts.$n1" "$tmp/counts.$n2" | while read -r f a b; do
  per=$(( (b - a) / (n2 - n1) ))
  case "$f" in
    FrameCostWrite) label="write   (NicWrite to command unit, send)" ;;
    FrameCostService) label="service (acknowledge, drain, deliver)" ;;
    FrameCostRead) label="read    (immediate NicRead, all clients)" ;;
  esac
  printf '  %-42s %8d\n' "$label" "$per"
done
