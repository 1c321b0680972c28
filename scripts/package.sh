#!/usr/bin/env bash
# Makes the packages, under build/package/:
#   n95_<version>_amd64.deb     the Debian package (CPack, from build/native), checked by lintian
#   N95-<version>-win32.zip     the Windows SDK (from build/win32): the DLLs with the MinGW-w64
#                               runtime DLLs they need, the headers, the record unit as a
#                               static library, the Windows example host built against that
#                               SDK, and the docs
# Reuses build/native and build/win32 and builds only what is installed. Installs lintian,
# the cross compiler and Wine when they are missing. Exits non-zero on any failure.
#
#   scripts/package.sh --check   also checks the packages as a host developer meets them (the
#                                package leg of scripts/test.sh): the examples built against a
#                                staged install with find_package and with pkg-config count the
#                                sample's records as n95host does; the unpacked .deb replays
#                                the sample; the unpacked zip's example runs under Wine (on a
#                                kernel without 32-bit programs, that of a 64-bit twin of the
#                                SDK, made under build/package/win64 for the check only); the
#                                SONAME, --version and the man pages. Its last line is the
#                                summary.
set -euo pipefail
cd "$(dirname "$0")/.."

check=0
[ "${1:-}" = "--check" ] && check=1
out=build/package
started=$SECONDS
# A flaky archive can keep Wine (i386) out while the rest installs: go on, and let the step
# that needs a missing tool say so.
scripts/deps.sh package || echo "package: not every package could be installed; going on"
mkdir -p "$out"

# The targets that the installation copies; the tests are not needed here.
installed=(N95 Varnex Tolvane n95_records n95_host_objects)

echo "package: building build/native"
cmake --preset native >"$out/native-configure.log" 2>&1 || { tail -n 30 "$out/native-configure.log"; exit 1; }
cmake --build --preset native --target "${installed[@]}" n95host n95sim n95_man_pages \
  n95_debian_changelog >"$out/native-build.log" 2>&1 \
  || { grep -E -A5 'error' "$out/native-build.log" | head -n 60; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/native/CMakeCache.txt)

echo "package: making the Debian package"
rm -f "$out"/n95_*.deb
(cd build/native && cpack -G DEB -B "$PWD/../package" >../package/cpack.log 2>&1) \
  || { tail -n 30 "$out/cpack.log"; exit 1; }
deb="$out/n95_${version}_amd64.deb"
[ -f "$deb" ] || { echo "package: $deb was not made"; ls "$out"; exit 1; }
rm -rf "$out/_CPack_Packages"
# lintian runs as root only when told to; errors fail the package, warnings are shown.
command -v lintian >/dev/null || { echo "package: lintian is missing"; exit 1; }
lintian --allow-root --tag-display-limit 0 "$deb" | tee "$out/lintian.log" || true
if grep -q '^E: ' "$out/lintian.log"; then
  echo "package: lintian found errors in $deb"
  exit 1
fi

# make_windows_sdk FLAVOUR: builds build/FLAVOUR (win32 or win64), installs it as the SDK
# N95-<version>-FLAVOUR under $out/FLAVOUR, builds the example host against that SDK alone,
# puts it beside N95.dll, and zips the tree as $out/N95-<version>-FLAVOUR.zip.
make_windows_sdk() {
  local flavour=$1 toolchain
  case $flavour in
    win32) toolchain=cmake/toolchain-mingw-i686.cmake ;;
    win64) toolchain=cmake/toolchain-mingw-x86_64.cmake ;;
  esac
  echo "package: building build/$flavour"
  cmake --preset "$flavour" >"$out/$flavour-configure.log" 2>&1 \
    || { tail -n 30 "$out/$flavour-configure.log"; exit 1; }
  # The reference host goes into the SDK when its libraries are there (scripts/win-deps.sh;
  # the install would otherwise want programs that were not built).
  local host=()
  if cmake --build "build/$flavour" --target help 2>/dev/null | grep -q '\.\.\. n95host$'; then
    host=(n95host n95sim)
  fi
  cmake --build --preset "$flavour" --target "${installed[@]}" "${host[@]}" >"$out/$flavour-build.log" 2>&1 \
    || { grep -E -A5 'error' "$out/$flavour-build.log" | head -n 60; exit 1; }

  echo "package: making the Windows SDK ($flavour)"
  local name="N95-$version-$flavour"
  local sdk="$out/$flavour/$name"
  # The 32-bit zip is the product, beside the .deb; the 64-bit one is a check, kept in its
  # own folder.
  local zip_dir="$PWD/$out"
  [ "$flavour" = win32 ] || zip_dir="$PWD/$out/$flavour"
  rm -rf "${out:?}/$flavour" "$out/$name.zip" "$out/$flavour-example"
  mkdir -p "$out/$flavour"
  cmake --install "build/$flavour" --prefix "$sdk" --strip >"$out/$flavour-install.log"
  # The example host, built against the SDK just installed and nothing else. N95_DIR points
  # at it directly: the toolchain confines package searches to the cross root.
  cmake -S examples -B "$out/$flavour-example" --toolchain "$PWD/$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DN95_DIR="$PWD/$sdk/lib/cmake/N95" >"$out/$flavour-example.log" 2>&1 \
    && cmake --build "$out/$flavour-example" >>"$out/$flavour-example.log" 2>&1 \
    || { tail -n 30 "$out/$flavour-example.log"; exit 1; }
  # Beside N95.dll and the runtime DLLs, which it loads from its own folder.
  cp "$out/$flavour-example/example_host.exe" "$sdk/bin/"
  (cd "$out/$flavour" && cmake -E tar cf "$zip_dir/$name.zip" --format=zip "$name")
}

scripts/win-deps.sh || echo "package: the Windows host's libraries could not be built: the SDK has no n95host.exe"
make_windows_sdk win32
name="N95-$version-win32"

echo "package: made"
ls -l "$deb" "$out/$name.zip" | awk '{ print "  " $NF ", " $5 " bytes" }'
[ "$check" -eq 1 ] || exit 0

# ---- the checks ------------------------------------------------------------------------
fail() {  # prints the reason as the summary line and stops
  echo "package: FAILED: $*"
  exit 1
}
sample=samples/drive.pcap
records_of() {  # the record count in a replay summary or an example's last line
  sed -n 's/^  records  *\([0-9][0-9]*\):.*/\1/p; s/^records: \([0-9][0-9]*\)$/\1/p' | tail -n 1
}
expected=$(build/native/bin/n95host replay "$sample" | records_of)
[ -n "$expected" ] && [ "$expected" -gt 0 ] || fail "n95host replay of $sample counts no record"
echo "package: n95host replay of $sample: $expected records"

# A staged install, and the examples built against it alone.
stage="$PWD/$out/stage"
rm -rf "$stage" "$out/example-cmake"
cmake --install build/native --prefix "$stage" >"$out/stage-install.log"
triplet=$(gcc -print-multiarch)
cmake -S examples -B "$out/example-cmake" -DCMAKE_PREFIX_PATH="$stage" >"$out/example-cmake.log" 2>&1 \
  && cmake --build "$out/example-cmake" >>"$out/example-cmake.log" 2>&1 \
  || { tail -n 30 "$out/example-cmake.log"; fail "the example with find_package"; }
export PKG_CONFIG_PATH="$stage/lib/$triplet/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++20 $(pkg-config --cflags n95) -DN95_PLUGIN_FILE="\"$(pkg-config --variable=plugin n95)\"" \
  examples/linux/example_host.cpp -o "$out/example-pkg-config" $(pkg-config --libs n95) \
  || fail "the example with pkg-config"
for example in "$out/example-cmake/example_host" "$out/example-pkg-config"; do
  count=$("$example" "$sample" | records_of) || true
  [ "$count" = "$expected" ] || fail "$example counts ${count:-no} records, n95host $expected"
done
echo "package: the examples (find_package, pkg-config) count $expected records"

# The installed plug-in, the programs' versions and their man pages.
soname=$(readelf -d "$stage/lib/$triplet/n95/libN95.so.0" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libN95.so.0" ] || fail "the plug-in's SONAME is '$soname', not libN95.so.0"
for tool in n95host n95sim; do
  line=$("$stage/bin/$tool" --version)
  [[ "$line" == "$tool $version"* ]] || fail "$tool --version says '$line'"
  man -l "$stage/share/man/man1/$tool.1.gz" 2>/dev/null | grep -q -- '--version' \
    || fail "man -l does not render the man page of $tool"
done
echo "package: SONAME $soname; $("$stage/bin/n95host" --version); man pages render"

# The .deb unpacked anywhere: its n95host finds its plug-in relative to itself.
unpacked="$out/deb-unpacked"
rm -rf "$unpacked" && mkdir -p "$unpacked"
dpkg-deb -x "$deb" "$unpacked"
replay=$("$unpacked/usr/bin/n95host" replay "$sample") || fail "the unpacked package's n95host replay"
echo "$replay" | grep -q "through N95 ($PWD/$unpacked/usr/bin/../lib/$triplet/n95/libN95.so.0)" \
  || fail "the unpacked package's n95host did not load its own plug-in: $(echo "$replay" | head -n 1)"
count=$(echo "$replay" | records_of)
[ "$count" = "$expected" ] || fail "the unpacked package's n95host counts $count records, not $expected"
echo "package: the unpacked .deb replays the sample: $count records"

# The zip unpacked anywhere: its example host under Wine. Where this kernel cannot start
# 32-bit programs, 32-bit Wine cannot run at all: the same SDK is then made for 64-bit
# Windows (a check only, not a package: the plug-in ships 32-bit) and its example runs
# under 64-bit Wine, so that the SDK's layout, its CMake package and the example are still
# proven on Wine; the 32-bit zip is then built and checked, not run.
# shellcheck source=scripts/i386-exec.sh
source scripts/i386-exec.sh
flavour=win32
if ! i386_native; then
  flavour=win64
  make_windows_sdk win64
  name="N95-$version-win64"
fi
zip="$PWD/$out/$name.zip"
[ "$flavour" = win32 ] || zip="$PWD/$out/win64/$name.zip"
unzipped="$out/zip-unpacked"
rm -rf "$unzipped" && mkdir -p "$unzipped"
(cd "$unzipped" && cmake -E tar xf "$zip")
[ -f "$unzipped/$name/bin/example_host.exe" ] || fail "the zip holds no example_host.exe"
[ -x "build/$flavour/wine-run.sh" ] || fail "no Wine (build/$flavour/wine-run.sh): scripts/deps.sh package"
export WINEPREFIX="$PWD/build/$flavour/wineprefix"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
count=$("build/$flavour/wine-run.sh" "$unzipped/$name/bin/example_host.exe" "$sample" </dev/null 2>&1 \
  | tr -d '\r' | records_of) || true
[ "$count" = "$expected" ] || fail "the $flavour zip's example under Wine counts ${count:-no} records, not $expected"
echo "package: the unpacked $flavour zip's example under Wine: $count records"
not_run=""
[ "$flavour" = win32 ] || not_run="; the win32 zip's example built, NOT RUN (this kernel runs no 32-bit programs)"

echo "package: .deb lintian-clean and zip made; examples, unpacked .deb and the $flavour zip under" \
  "Wine count the sample's $expected records; SONAME $soname$not_run; $((SECONDS - started)) s"
