// A camera's pixel formats turned into RGB stored bottom row first, in one pass over memory with
// OpenCV's SIMD: each source row is converted straight into its mirrored destination row.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rgb_picture.h"

// kr and kb are the matrix's luma weights of red and blue (0.299 and 0.114 for BT.601). The
// offsets and scales are the range's, as 8-bit levels: Y = lumaOffset + lumaScale * Y', U and V
// = chromaOffset + chromaScale * Pb, Pr (16, 219, 128, 224 for limited range).
YuvMatrix yuvMatrix(double kr, double kb, int lumaOffset, int lumaScale, int chromaOffset,
		    int chromaScale);

// Any thread. Writes picture as RGB, 3 bytes a pixel, into rgb: height rows of width pixels,
// rgbStride bytes apart, the picture's first row last. matrix is read for YUV layouts only. Both
// buffers are borrowed for the call and must not overlap.
void convertBottomUp(const SourcePicture &picture, const YuvMatrix &matrix, std::uint8_t *rgb,
		     std::size_t rgbStride);
