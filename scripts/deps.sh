#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those that are missing (idempotent).
#   scripts/deps.sh            packages for the Linux builds, tests and tools
#   scripts/deps.sh windows    also the MinGW-w64 cross compiler and Wine (i386)
#   scripts/deps.sh clients    also tshark, GDAL and gpsbabel, for the tests with those readers
set -euo pipefail

base_packages=(
  build-essential cmake g++-multilib clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev valgrind
  libcli11-dev libpcap-dev libpugixml-dev librsvg2-bin gcovr clang-format
  libgps-dev gpsd gpsd-clients python3-gps libmimalloc-dev
)
windows_packages=(g++-mingw-w64-i686 wine wine32:i386)
clients_packages=(tshark gdal-bin gpsbabel)

missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

want=("${base_packages[@]}")
if [ "${1:-}" = "windows" ]; then
  if ! dpkg --print-foreign-architectures | grep -q '^i386$'; then
    as_root dpkg --add-architecture i386
    as_root apt-get update -q
  fi
  want+=("${windows_packages[@]}")
fi
if [ "${1:-}" = "clients" ]; then
  want+=("${clients_packages[@]}")
fi

todo=$(missing "${want[@]}")
if [ -n "$todo" ]; then
  echo "deps: installing:" $todo
  export DEBIAN_FRONTEND=noninteractive
  # tshark's wireshark-common asks whether non-superusers may capture; answer no beforehand
  # so that the installation never waits for a dialog.
  if [[ " $todo " == *" tshark "* ]]; then
    echo "wireshark-common wireshark-common/install-setuid boolean false" \
      | as_root debconf-set-selections
  fi
  as_root apt-get update -q || true
  # shellcheck disable=SC2086
  as_root apt-get install -y -q --no-install-recommends $todo
fi
