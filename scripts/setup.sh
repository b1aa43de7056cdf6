#!/usr/bin/env bash
# Installs the Debian packages edge-viewer needs to build, run and test, skipping those present.
# "setup.sh bench" adds what bench/run needs besides: the peer it measures against and a terminal
# multiplexer to drive the format page.
set -euo pipefail

packages=(
  # build
  cmake g++ make pkg-config clang-format
  libopencv-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  # the screen's work area and the window's parts, asked of the Qt that highgui draws with
  qtbase5-dev
  libgtest-dev libbenchmark-dev
  # the fuzz target: Clang with its libFuzzer and sanitizer runtimes
  clang-14 libclang-rt-14-dev
  # run: camera capture, conversion, JPEG decoding, the test pattern and its clock
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-x fonts-dejavu-core
  # tests and the headless demo: a virtual display, input events, screenshots, a terminal
  # multiplexer to answer the camera dialog, and gst-launch-1.0 to make the video clip the
  # command-line test plays
  xvfb xdotool imagemagick x11-utils libx11-dev tmux gstreamer1.0-tools
  # the camera plugins the package recommends, which a default install brings: their device
  # providers start with the device monitor, and the end-to-end tests check that the program
  # still prints only its own lines
  gstreamer1.0-pipewire gstreamer1.0-libcamera
  # the Debian package: library dependencies, and the checks on what it ships
  dpkg-dev file lintian desktop-file-utils
  # tests only, never a dependency of the package: a real PipeWire camera, served by a PipeWire
  # daemon with its session manager on a private session bus
  pipewire pipewire-bin wireplumber dbus
  # the benchmark's timed viewer, built and its parts tested with the rest: the X damage
  # extension's library, with which it sees its own window painted
  libxdamage-dev
)
if [ "${1:-}" = bench ]; then
  packages+=(gstreamer1.0-opencv tmux)
fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "edge-viewer setup: installing ${missing[*]}" >&2
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
