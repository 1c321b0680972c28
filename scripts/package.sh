#!/usr/bin/env bash
# Makes the packages, under build/package/:
#   n95_<version>_amd64.deb     the Debian package (CPack, from build/native), checked by lintian
#   N95-<version>-win32.zip     the Windows SDK (from build/win32): the DLLs with the MinGW-w64
#                               runtime DLLs they need, the headers, the record unit as a
#                               static library, the Windows example host built against that
#                               SDK, and the docs
# Reuses build/native and build/win32 and builds only what is installed. Installs lintian,
# the cross compiler and Wine when they are missing. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/package
scripts/deps.sh package
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
lintian --allow-root --no-tag-display-limit "$deb" | tee "$out/lintian.log"
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
cmake --install build/win32 --prefix "$sdk" >"$out/win32-install.log"
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
