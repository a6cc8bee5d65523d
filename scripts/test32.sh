#!/usr/bin/env bash
# Builds everything as a 32-bit x86 program (the "i686" preset: gcc -m32 from
# Debian's g++-multilib, GoogleTest compiled from Debian's googletest source,
# pcap files written without libpcap, no benchmarks) and runs the test suite
# there: pointers are 32 bits wide, as on the driver's kernel.
#   scripts/test32.sh [ctest arguments...]
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$(torvelin_root)"

# googletest is the source package behind libgtest-dev (/usr/src/googletest).
torvelin_install g++-multilib googletest
torvelin_build i686 -j "${JOBS:-$(nproc)}"
ctest --preset i686 "$@"
