#!/usr/bin/env bash
# Installs what is missing, then builds the Debian package in a release build of its own and
# prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset package >/dev/null
cmake --build --preset package -j"$(nproc)" >/dev/null
# cpack reports progress on stderr; show it only when packaging fails.
if ! log=$(cpack --preset package 2>&1); then
  echo "$log" >&2
  exit 1
fi
package=build/package/edge-viewer_$(sed -n 's/^project(edge-viewer VERSION \([0-9.]*\).*/\1/p' \
  CMakeLists.txt)_$(dpkg --print-architecture).deb
[ -f "$package" ] || { echo "edge-viewer: failed to build package: $package is missing" >&2; exit 1; }
echo "$PWD/$package"
