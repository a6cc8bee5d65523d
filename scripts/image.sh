#!/usr/bin/env bash
# Builds the driver image for its kernel (the "target" preset: freestanding
# 32-bit x86 with clang, one relocatable object build/target/torvelin.o),
# which also runs the image check (scripts/check_image.sh): the image's
# undefined symbols must all be declared in host/host.h, and a copy with
# memcpy, operator new and a global constructor added must be rejected.
# Prints the symbols a kernel must provide and the image's sizes.
#   scripts/image.sh
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$(torvelin_root)"

# clang compiles for the bare target, lld links the relocatable image, python3
# reads the header's syntax tree; none of it needs a cross toolchain.
torvelin_install clang lld python3
rm -rf build/target
torvelin_build target -j "${JOBS:-$(nproc)}"
