# SPDX-License-Identifier: MIT
# Sourced by the scripts: installs the Debian packages the build needs, once.
quorvane_packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-serialport-dev libgl-dev
  libbenchmark-dev
  libmosquitto-dev mosquitto mosquitto-clients openssl libssl-dev
  clang libclang-rt-14-dev
  xvfb xauth x11-utils xdotool imagemagick fonts-dejavu-core fonts-dejavu-extra
  # packaging checks and the accessibility-bus smoke test
  dpkg-dev file lintian desktop-file-utils appstream help2man
  at-spi2-core dbus python3 python3-pyatspi
  # the bridge's web face and its browser tests
  qt6-httpserver-dev qt6-websockets-dev chromium chromium-driver python3-selenium
  # /metrics is checked with Prometheus's own linter
  prometheus
)

quorvane_install_deps() {
  local missing=()
  local p
  for p in "${quorvane_packages[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  # npm, for the browser test's accessibility rules; a Node.js of its own may bring it.
  command -v npm >/dev/null 2>&1 || missing+=(npm)
  if [ ${#missing[@]} -gt 0 ]; then
    quorvane_install_packages "${missing[@]}" || return 1
  fi
  quorvane_install_node_modules
}

quorvane_install_packages() {
  local missing=("$@")
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "missing packages: ${missing[*]} (install them with your package manager)" >&2
    return 1
  fi
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
  fi
  echo "installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# The browser test's accessibility rules (axe-core, pinned in tests/a11y/package-lock.json):
# npm ci when node_modules there is not what the lock file names. The test does no installing
# of its own, and fails without them.
quorvane_install_node_modules() {
  local dir want have
  dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tests/a11y"
  want=$(node -p 'require(process.argv[1]).packages["node_modules/axe-core"].version' \
    "$dir/package-lock.json") || return 1
  have=$(node -p 'require(process.argv[1]).version' "$dir/node_modules/axe-core/package.json" \
    2>/dev/null) || have=""
  [ "$want" = "$have" ] && return 0
  echo "installing: axe-core $want (npm ci in tests/a11y)"
  (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
}

# Cross-building for arm64 (a Raspberry Pi on a 64-bit OS) from Debian's multiarch packages,
# and running what was built under qemu-user.
quorvane_arm64_packages=(
  g++-aarch64-linux-gnu qemu-user-static pkgconf:arm64
  qt6-base-dev:arm64 qt6-serialport-dev:arm64 libgl-dev:arm64 libmosquitto-dev:arm64
  qt6-httpserver-dev:arm64 qt6-websockets-dev:arm64 libssl-dev:arm64
)

quorvane_install_arm64_deps() {
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    if [ "$(id -u)" -ne 0 ]; then sudo dpkg --add-architecture arm64; else dpkg --add-architecture arm64; fi
  fi
  # Missing packages make it fetch the package lists, the new architecture's among them.
  quorvane_install_deps "${quorvane_arm64_packages[@]}"
}
