#!/usr/bin/env bash
# Checks the driver image (the relocatable object the "target" preset links)
# for what its kernel must provide and what it must not carry:
#   - every undefined symbol is one that host/host.h declares (kernel
#     operations, runtime library, port I/O, interrupt exclusion); anything
#     else (memcpy, operator new, __cxa_*, __stack_chk_fail ...) fails;
#   - the image defines its entry, DriverImageEntry;
#   - no section a loader would have to run or the C++ runtime would need:
#     constructors and destructors, exception tables, thread-locals;
# and prints the image's text, data and bss sizes.
#
#   scripts/check_image.sh IMAGE
#   scripts/check_image.sh --expect-reject NAME... -- IMAGE
#       the check must fail on IMAGE, reporting each NAME (a symbol or a
#       section): shows that the check catches what it is meant to catch.
#
# The symbols host/host.h declares are read from clang's syntax tree of the
# header compiled for the image's target, as mangled names, so a declaration
# whose types differ from what the driver calls does not pass either.
# Environment: CLANGXX (clang++), TARGET (i686-unknown-none-elf).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

expect=()
if [ "${1:-}" = "--expect-reject" ]; then
  shift
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do expect+=("$1"); shift; done
  [ "${1:-}" = "--" ] && shift
  [ ${#expect[@]} -gt 0 ] || { echo "check_image: --expect-reject needs names" >&2; exit 2; }
fi
[ $# -eq 1 ] || { sed -n '2,20p' "$0" >&2; exit 2; }
image="$1"
[ -f "$image" ] || { echo "check_image: no image at $image" >&2; exit 2; }

clangxx="${CLANGXX:-$(command -v clang++ || command -v clang++-14)}"
target="${TARGET:-i686-unknown-none-elf}"
nm_tool="$(command -v llvm-nm || command -v nm)"
size_tool="$(command -v llvm-size || command -v size)"
readelf_tool="$(command -v llvm-readelf || command -v readelf)"
demangle="$(command -v llvm-cxxfilt || command -v c++filt || echo cat)"

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# The functions host/host.h declares, as the image's target mangles them.
"$clangxx" --target="$target" -std=c++20 -ffreestanding -nostdlibinc -nostdinc++ \
  -isystem "$root/cmake/freestanding" -x c++-header -fsyntax-only \
  -Xclang -ast-dump=json "$root/host/host.h" >"$tmp/ast.json"
python3 - "$tmp/ast.json" >"$tmp/declared" <<'PY'
import json, sys
names = set()
def walk(node):
    if node.get("kind") == "FunctionDecl" and "mangledName" in node:
        names.add(node["mangledName"])
    for child in node.get("inner", []):
        walk(child)
walk(json.load(open(sys.argv[1])))
print("\n".join(sorted(names)))
PY
[ -s "$tmp/declared" ] || { echo "check_image: found no declarations in host/host.h" >&2; exit 2; }

"$nm_tool" -u "$image" | awk '{print $NF}' | sort -u >"$tmp/undefined"
"$nm_tool" --defined-only "$image" | awk '{print $NF}' | sort -u >"$tmp/defined"

problems=()
while read -r sym; do
  [ -n "$sym" ] || continue
  if ! grep -qxF "$sym" "$tmp/declared"; then
    problems+=("undefined symbol not provided by host/host.h: $sym ($(echo "$sym" | "$demangle"))")
  fi
done <"$tmp/undefined"

entry="$(grep -F DriverImageEntry "$tmp/declared" || true)"
if [ -z "$entry" ] || ! grep -qxF "$entry" "$tmp/defined"; then
  problems+=("the image does not define its entry DriverImageEntry")
fi

"$readelf_tool" -S -W "$image" >"$tmp/sections"
for section in .init_array .fini_array .ctors .dtors .preinit_array .gcc_except_table .tdata .tbss; do
  if grep -qE "[[:space:]]\\${section}([[:space:]]|\\.)" "$tmp/sections"; then
    problems+=("section a loader or the C++ runtime would have to handle: $section")
  fi
done

if [ ${#expect[@]} -gt 0 ]; then
  # The check must have rejected the image, naming every expected item.
  [ ${#problems[@]} -gt 0 ] || { echo "check_image: $image was accepted, expected a rejection" >&2; exit 1; }
  for name in "${expect[@]}"; do
    if ! printf '%s\n' "${problems[@]}" | grep -qF -- "$name"; then
      echo "check_image: the check did not report $name in $image; it reported:" >&2
      printf '  %s\n' "${problems[@]}" >&2
      exit 1
    fi
  done
  echo "image check rejects $(basename "$image") as it must (${#problems[@]} problems: ${expect[*]})"
  exit 0
fi

if [ ${#problems[@]} -gt 0 ]; then
  echo "image check FAILED for $image:" >&2
  printf '  %s\n' "${problems[@]}" >&2
  exit 1
fi

echo "image $image: $(wc -l <"$tmp/undefined") undefined symbols, all declared in host/host.h:"
"$demangle" <"$tmp/undefined" | sed 's/^/  /'
"$size_tool" "$image" | awk 'NR == 2 { printf "image size: text %d, data %d, bss %d bytes\n", $1, $2, $3 }'
