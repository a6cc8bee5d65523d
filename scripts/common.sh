# Shared by the scripts: installs what the build needs when it is missing.
# Sourced, not run.

torvelin_root() { cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd; }

# Debian packages the build and the tests use.
TORVELIN_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  libpcap-dev libcli11-dev nlohmann-json3-dev)

torvelin_install() {
  local missing=()
  for p in "${TORVELIN_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}" >&2
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

torvelin_build() {
  local preset="$1"
  shift
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" "$@"
}
