#!/usr/bin/env bash
# The Windows host's libraries, built from Debian's own sources: Debian ships pugixml and
# libpcap for Linux only, so their source packages (apt-get source, from the archive this
# machine installs from, nothing else) are cross-built with the project's MinGW-w64 toolchain
# files into a prefix per architecture:
#
#   build/win-deps/<arch>/prefix     lib/libpugixml.a, lib/libpcap.a, include/, and a copy
#                                    of Debian's header-only CLI11 with its CMake package
#
# where <arch> is i686 (the deployment target) or x86_64 (run under Wine on this machine).
# The toolchain files look there (cmake/mingw-common.cmake), so the win32 and win64 presets
# build the host once the prefix exists. Both libraries are static: the host ships no DLL of
# theirs. libpcap is built without any capture driver (PCAP_TYPE=null): the host only reads
# and writes capture files. zlib is Debian's libz-mingw-w64-dev (scripts/deps.sh windows).
#
#   scripts/win-deps.sh [i686|x86_64]...     (default: both)
#
# A prefix whose stamp names the same source versions and this script's recipe is left
# alone, so a second run costs nothing. Prints one line per architecture; exits non-zero on
# any failure, with the end of the failing step's log.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cache=$root/build/win-deps
# Changed whenever the recipe below changes, so that an old prefix is rebuilt.
recipe=1

archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(i686 x86_64)
for arch in "${archs[@]}"; do
  case "$arch" in
    i686 | x86_64) ;;
    *) echo "win-deps: unknown architecture: $arch (i686 or x86_64)" >&2; exit 2 ;;
  esac
done

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# The source lists: a deb-src entry for bookworm from the mirror the machine already uses,
# added when no deb-src entry exists. Only that list is refreshed, not the machine's others.
src_list=/etc/apt/sources.list.d/n95-win-deps-src.sources
ensure_sources() {
  if apt-cache showsrc pugixml 2>/dev/null | grep -q '^Package: pugixml'; then
    return 0
  fi
  if [ ! -f "$src_list" ]; then
    local mirror
    mirror=$(grep -hs -m1 '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' | grep -v security | head -n1)
    [ -n "$mirror" ] || mirror=$(grep -hs -m1 -E '^deb +[^ ]+ bookworm ' /etc/apt/sources.list | awk '{print $2}')
    [ -n "$mirror" ] || mirror=http://deb.debian.org/debian
    echo "win-deps: adding the Debian source lists ($mirror bookworm) in $src_list"
    printf 'Types: deb-src\nURIs: %s\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$mirror" | as_root tee "$src_list" >/dev/null
  fi
  as_root apt-get update -q -o Dir::Etc::sourcelist="$src_list" -o Dir::Etc::sourceparts=- \
    -o APT::Get::List-Cleanup=0 >/dev/null
}

# The version apt would fetch for a source package.
source_version() {
  apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -V | tail -n1
}

# fetch PACKAGE VERSION: the unpacked source tree's path, fetched once into the cache.
fetch() {
  local package=$1 version=$2 upstream dir
  upstream=${version%-*}
  upstream=${upstream#*:}
  dir=$cache/src/$package-$upstream
  if [ ! -d "$dir" ]; then
    mkdir -p "$cache/src"
    (cd "$cache/src" && apt-get source -q --only-source "$package=$version" >"$cache/src/$package.log" 2>&1) \
      || { tail -n 20 "$cache/src/$package.log" >&2; echo "win-deps: apt-get source $package failed" >&2; exit 1; }
  fi
  echo "$dir"
}

# run LOG COMMAND...: quietly, in the architecture's build folder (libpcap's configuration
# writes a file named "NUL:" where it runs, as a Windows shell would not); the log's end on
# failure.
run() {
  local log=$1; shift
  (cd "$top/build" && "$@") >"$log" 2>&1 || { tail -n 30 "$log" >&2; echo "win-deps: failed: $* (log: $log)" >&2; exit 1; }
}

ensure_sources
pugixml_version=$(source_version pugixml)
pcap_version=$(source_version libpcap)
[ -n "$pugixml_version" ] && [ -n "$pcap_version" ] || { echo "win-deps: no source package for pugixml or libpcap" >&2; exit 1; }
stamp_text="recipe $recipe pugixml $pugixml_version libpcap $pcap_version cli11 $(dpkg-query -W -f='${Version}' libcli11-dev)"

for arch in "${archs[@]}"; do
  top=$cache/$arch
  prefix=$top/prefix
  if [ -f "$prefix/stamp" ] && [ "$(cat "$prefix/stamp")" = "$stamp_text" ]; then
    echo "win-deps: $arch: up to date ($stamp_text)"
    continue
  fi
  start=$SECONDS
  rm -rf "$prefix" "$top/build"
  mkdir -p "$prefix" "$top/build"
  toolchain=$root/cmake/toolchain-mingw-$arch.cmake
  common=(-G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
          -DCMAKE_INSTALL_PREFIX="$prefix")
  # The 32-bit host computes in SSE2, not x87 (host/CMakeLists.txt); so do its libraries.
  [ "$arch" = i686 ] && common+=(-DCMAKE_C_FLAGS="-msse2 -mfpmath=sse" -DCMAKE_CXX_FLAGS="-msse2 -mfpmath=sse")

  src=$(fetch pugixml "$pugixml_version")
  run "$top/build/pugixml.log" cmake -S "$src" -B "$top/build/pugixml" "${common[@]}" -DBUILD_SHARED_LIBS=OFF \
    -DPUGIXML_BUILD_TESTS=OFF
  run "$top/build/pugixml-build.log" cmake --build "$top/build/pugixml" -j2 --target install

  src=$(fetch libpcap "$pcap_version")
  # No capture driver and no remote capture: files only; only the static library is built
  # (its CMake file wants the shared one declared, so BUILD_SHARED_LIBS stays as it is). Flex and bison make the filter
  # compiler (scripts/deps.sh windows installs them).
  run "$top/build/libpcap.log" cmake -S "$src" -B "$top/build/libpcap" "${common[@]}" \
    -DPCAP_TYPE=null -DENABLE_REMOTE=OFF -DDISABLE_DBUS=ON -DDISABLE_RDMA=ON -DBUILD_WITH_LIBNL=OFF \
    -DUSE_STATIC_RT=OFF
  run "$top/build/libpcap-build.log" cmake --build "$top/build/libpcap" -j2 --target pcap_static
  mkdir -p "$prefix/lib" "$prefix/include"
  cp "$top/build/libpcap/libpcap.a" "$prefix/lib/libpcap.a" 2>/dev/null \
    || cp "$(find "$top/build/libpcap" -name 'libpcap*.a' ! -name '*.dll.a' | head -n1)" "$prefix/lib/libpcap.a"
  cp -r "$src/pcap" "$src/pcap.h" "$prefix/include/"

  # CLI11 is header-only: Debian's headers and CMake package, copied (its package finds its
  # prefix from its own place).
  cp -r /usr/include/CLI "$prefix/include/"
  mkdir -p "$prefix/share/cmake"
  cp -r /usr/share/cmake/CLI11 "$prefix/share/cmake/"

  echo "$stamp_text" >"$prefix/stamp"
  echo "win-deps: $arch: built in $((SECONDS - start)) s ($stamp_text)"
done
