# SPDX-License-Identifier: MIT
# Sourced by the scripts: installs the Debian packages the build needs, once.
quorvane_packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-serialport-dev libgl-dev
  libbenchmark-dev
  libmosquitto-dev mosquitto mosquitto-clients openssl
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
  [ ${#missing[@]} -eq 0 ] && return 0
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
