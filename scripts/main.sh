#!/usr/bin/env bash
# The main job: builds the plug-in, its two stand-in libraries and the tools, and says where
# they are.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset native >/dev/null
cmake --build --preset native
echo
echo "Built:"
for f in build/native/bin/libN95.so build/native/bin/libVarnex.so build/native/bin/libTolvane.so; do
  [ -e "$f" ] && echo "  $(realpath "$f")"
done
