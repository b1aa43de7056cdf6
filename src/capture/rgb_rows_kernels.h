// The row conversions behind convertBottomUp, built once for each instruction set it chooses from
// at run time (rgb_rows_kernels.cpp); only rgb_rows.cpp and the tests call them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rgb_picture.h"

// Fractional bits of the sums: the most that keep a sum of the largest terms (full-scale luma and
// the largest blue term of any matrix) inside 16 signed bits. A coefficient times
// 2^(yuvFractionBits + 8), multiplied by a sample times 2^8 and keeping the high 16 bits, gives
// the term in 1/2^yuvFractionBits of a level.
inline constexpr int yuvFractionBits = 5;

// What the build's compiler gives every machine: SSE2 on x86-64, NEON on 64-bit ARM.
namespace simdBaseline {
void convertBottomUp(const SourcePicture &picture, const YuvMatrix &matrix, std::uint8_t *rgb,
		     std::size_t rgbStride);
}

#ifdef EDGE_VIEWER_AVX2_ROWS
// 256-bit vectors; only for machines whose CPU and system have AVX2.
namespace simdAvx2 {
void convertBottomUp(const SourcePicture &picture, const YuvMatrix &matrix, std::uint8_t *rgb,
		     std::size_t rgbStride);
}
#endif
