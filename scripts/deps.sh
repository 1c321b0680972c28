#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those that are missing (idempotent).
#   scripts/deps.sh            packages for the Linux builds, tests and tools
#   scripts/deps.sh windows    also the MinGW-w64 cross compilers and Wine (i386 and amd64),
#                              and what scripts/win-deps.sh needs
#   scripts/deps.sh clients    also tshark, GDAL, gpsbabel and Chromium, for the tests with those
#                              readers
#   scripts/deps.sh package    also lintian, the cross compiler and Wine, for the packages
#   scripts/deps.sh emulator   also qemu-i386, where the kernel does not run 32-bit programs
# Several extras may be named at once (scripts/deps.sh windows clients).
set -euo pipefail

base_packages=(
  build-essential cmake g++-multilib clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev valgrind
  libcli11-dev libpcap-dev libpugixml-dev zlib1g-dev librsvg2-bin gcovr clang-format
  libgps-dev gpsd gpsd-clients python3-gps libmimalloc-dev help2man libgdal-dev
)
# flex, bison and dpkg-dev: scripts/win-deps.sh builds libpcap and pugixml for Windows from
# Debian's source packages; zlib for Windows is Debian's own.
windows_packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix wine wine32:i386 wine64
                  flex bison dpkg-dev libz-mingw-w64-dev)
clients_packages=(tshark gdal-bin gpsbabel chromium)
package_packages=(lintian pkg-config man-db "${windows_packages[@]}")
emulator_packages=(qemu-user)

missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# A mirror in the middle of a sync fails an update now and then: try a few times, and when
# every try failed go on with the lists we have; the installation then says whether they
# were enough.
update_lists() {
  local try
  for try in 1 2 3; do
    as_root apt-get update -q && return 0
    echo "deps: apt-get update failed (try $try of 3)" >&2
    [ "$try" -lt 3 ] && sleep 10
  done
  echo "deps: going on with the package lists at hand" >&2
  return 0
}

want=("${base_packages[@]}")
updated=0
for extra in "$@"; do
  case "$extra" in
    windows | package)
      if ! dpkg --print-foreign-architectures | grep -q '^i386$'; then
        as_root dpkg --add-architecture i386
        # The i386 lists are needed before wine32:i386 can even be found as missing.
        update_lists
        updated=1
      fi
      if [ "$extra" = windows ]; then want+=("${windows_packages[@]}"); else want+=("${package_packages[@]}"); fi ;;
    clients) want+=("${clients_packages[@]}") ;;
    emulator) want+=("${emulator_packages[@]}") ;;
    *) echo "deps: unknown set of packages: $extra" >&2; exit 2 ;;
  esac
done

todo=$(missing "${want[@]}" | sort -u)
if [ -n "$todo" ]; then
  echo "deps: installing:" $todo
  export DEBIAN_FRONTEND=noninteractive
  # tshark's wireshark-common asks whether non-superusers may capture; answer no beforehand
  # so that the installation never waits for a dialog.
  if [[ " $(echo $todo) " == *" tshark "* ]]; then
    echo "wireshark-common wireshark-common/install-setuid boolean false" \
      | as_root debconf-set-selections
  fi
  [ "$updated" -eq 1 ] || update_lists
  # shellcheck disable=SC2086
  as_root apt-get install -y -q --no-install-recommends $todo
fi
