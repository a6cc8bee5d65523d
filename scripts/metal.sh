#!/usr/bin/env bash
# Boots the driver on a machine nobody here wrote: builds the bare-metal image
# (metal/) and runs it under Debian's x86 emulator with one or two of its
# 8255x-family NICs on one emulated hub, a frame dump per NIC and the serial
# console to files. The image's client writes its frames and halts the machine
# through the emulator's exit device; the run is bounded in time either way.
#
#   scripts/metal.sh                          two NICs: i82559er and i82559c
#   scripts/metal.sh --nics "i82801"          one NIC
#   scripts/metal.sh --out DIR --seed 7 --frames 100
#
# Leaves in the output folder (build/metal-run by default): console.txt (the
# machine's COM1), nic0.pcap, nic1.pcap (every frame that passed each NIC's
# network backend, both directions) and machine.txt (the NICs and their
# addresses). Exit status: 0 when the client ran to its end and reported no
# failure, 1 otherwise, 2 for bad options, 77 when the emulator cannot be had.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
nics="i82559er i82559c"
out="$root/build/metal-run"
seed=1
frames=52
settle=300
diag=0
bound=90

usage() {
  sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'
  cat <<'EOF'
Options:
  --nics "A B"   emulator NIC models, one or two (default "i82559er i82559c")
  --out DIR      output folder (default build/metal-run)
  --seed N       seed of the frame contents (default 1)
  --frames N     frames the client writes (default 52)
  --settle MS    how long the client waits for the second NIC's reads (default 300)
  --diag N       show the receive descriptors at the first N interrupts and at the end
  --timeout S    bound on the emulator's run in seconds (default 90)
EOF
}

while [ $# -gt 0 ]; do
  case "$1" in
    --nics) nics="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    --seed) seed="$2"; shift 2 ;;
    --frames) frames="$2"; shift 2 ;;
    --settle) settle="$2"; shift 2 ;;
    --diag) diag="$2"; shift 2 ;;
    --timeout) bound="$2"; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "metal.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
  esac
done
read -r -a models <<<"$nics"
if [ ${#models[@]} -lt 1 ] || [ ${#models[@]} -gt 2 ]; then
  echo "metal.sh: --nics takes one or two models" >&2
  exit 2
fi

# ---- what the run needs, from Debian's archive
missing=()
for p in qemu-system-x86 clang lld cmake ninja-build; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "metal.sh: installing ${missing[*]}" >&2
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  if ! { $sudo apt-get update -qq && $sudo apt-get install -y -qq --no-install-recommends \
      "${missing[@]}" >/dev/null; }; then
    echo "metal.sh: could not install ${missing[*]}" >&2
    command -v qemu-system-i386 >/dev/null || exit 77
    exit 1
  fi
fi
if ! command -v qemu-system-i386 >/dev/null; then
  echo "metal.sh: qemu-system-i386 is not available" >&2
  exit 77
fi

# ---- the image
cmake -S "$root/metal" -B "$root/build/metal" -G Ninja >/dev/null
cmake --build "$root/build/metal" -j "${JOBS:-$(nproc)}" >/dev/null
image="$root/build/metal/torvelin-metal.elf"

# ---- the machine: every NIC on hub 0, so the second one hears the first
rm -rf "$out"
mkdir -p "$out"
args=()
: >"$out/machine.txt"
for i in "${!models[@]}"; do
  mac=$(printf '52:54:00:a0:00:%02x' $((i + 1)))
  # romfile= keeps the NIC's boot ROM out: the firmware then never touches it.
  args+=(-netdev "hubport,id=net$i,hubid=0"
    -device "${models[$i]},netdev=net$i,mac=$mac,romfile=,addr=$((i + 3))"
    -object "filter-dump,id=dump$i,netdev=net$i,file=$out/nic$i.pcap")
  echo "nic$i model=${models[$i]} mac=$mac" >>"$out/machine.txt"
done

status=0
timeout --signal=KILL "$bound" qemu-system-i386 -machine pc -accel tcg -m 128 \
  -display none -monitor none -no-reboot -nic none \
  -serial "file:$out/console.txt" \
  -device isa-debug-exit,iobase=0xf4,iosize=0x04 \
  -kernel "$image" -append "seed=$seed frames=$frames settle=$settle diag=$diag" \
  "${args[@]}" 2>"$out/emulator.txt" || status=$?

# The exit device ends the emulator with (code << 1) | 1: the client's code 1
# means it ran to its end without a failure of its own, 2 with failures.
case "$status" in
  3) verdict="the client ran to its end"; result=0 ;;
  5) verdict="the client reported failures"; result=1 ;;
  137) verdict="no end within ${bound} s: stopped"; result=1 ;;
  *) verdict="the machine stopped with status $status"; result=1 ;;
esac
echo "metal: ${models[*]}: $verdict; console $out/console.txt" >&2
grep -E '^(TORVELIN|metal: (client|stats|kernel))' "$out/console.txt" >&2 || true
exit "$result"
