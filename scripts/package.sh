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
#                                the sample; the unpacked zip's example runs under Wine; the
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

echo "package: building build/win32"
cmake --preset win32 >"$out/win32-configure.log" 2>&1 || { tail -n 30 "$out/win32-configure.log"; exit 1; }
cmake --build --preset win32 --target "${installed[@]}" >"$out/win32-build.log" 2>&1 \
  || { grep -E -A5 'error' "$out/win32-build.log" | head -n 60; exit 1; }

echo "package: making the Windows SDK"
name="N95-$version-win32"
sdk="$out/win32/$name"
rm -rf "$out/win32" "$out/$name.zip"
cmake --install build/win32 --prefix "$sdk" --strip >"$out/win32-install.log"
# The example host, built against the SDK just installed and nothing else. N95_DIR points at
# it directly: the toolchain confines package searches to the cross root.
cmake -S examples -B "$out/win32-example" \
  --toolchain "$PWD/cmake/toolchain-mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DN95_DIR="$PWD/$sdk/lib/cmake/N95" >"$out/win32-example.log" 2>&1 \
  && cmake --build "$out/win32-example" >>"$out/win32-example.log" 2>&1 \
  || { tail -n 30 "$out/win32-example.log"; exit 1; }
# Beside N95.dll and the runtime DLLs, which it loads from its own folder.
cp "$out/win32-example/example_host.exe" "$sdk/bin/"
(cd "$out/win32" && cmake -E tar cf "../$name.zip" --format=zip "$name")

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

# The zip unpacked anywhere: its example host under Wine, in build/win32's prefix.
unzipped="$out/zip-unpacked"
rm -rf "$unzipped" && mkdir -p "$unzipped"
(cd "$unzipped" && cmake -E tar xf "../$name.zip")
[ -x build/win32/wine-run.sh ] || fail "no Wine (build/win32/wine-run.sh): scripts/deps.sh package"
export WINEPREFIX="$PWD/build/win32/wineprefix"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
count=$(build/win32/wine-run.sh "$unzipped/$name/bin/example_host.exe" "$sample" </dev/null 2>&1 \
  | tr -d '\r' | records_of) || true
[ "$count" = "$expected" ] || fail "the zip's example under Wine counts ${count:-no} records, not $expected"
echo "package: the unpacked zip's example under Wine: $count records"

echo "package: .deb lintian-clean and zip made; examples, unpacked .deb and zip (Wine) count" \
  "the sample's $expected records; SONAME $soname; $((SECONDS - started)) s"
