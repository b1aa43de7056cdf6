#!/usr/bin/env bash
# The AVX2 build of the row conversions may define nothing that another file can define too: an
# inline function or template instance compiled there for AVX2 could be the copy the linker keeps
# for every caller, and stop the viewer on a machine without AVX2 (debug builds, which inline
# little, are where it shows). Allowed: OpenCV's intrinsics, in a namespace of their own for
# AVX2, and our entry point, in its own; and the word pointing at the C++ exception personality,
# which is data, the same in every file that can unwind.
# Usage: simd_symbols.sh OBJECT...
set -euo pipefail
shared=$(nm -C --defined-only "$@" | awk '$2 ~ /^[TWVu]$/' |
  grep -v -e ' cv::hal_AVX2::' -e ' simdAvx2::' -e ' DW.ref.__gxx_personality_v0$' || true)
if [ -n "$shared" ]; then
  echo "FAIL: the AVX2 rows define symbols other files may define too:" >&2
  echo "$shared" >&2
  exit 1
fi
