// A picture in a camera's layout and the YUV matrix that turns it into RGB: what the row
// conversions and their callers share.
#pragma once

#include <cstddef>
#include <cstdint>

// How a picture's samples lie in memory. YUV layouts are 8-bit with one chroma pair for two
// pixels side by side.
enum class PixelLayout {
	rgb,
	bgr,
	rgbx,
	bgrx,
	xrgb,
	xbgr,
	gray,
	yuyv,	   // packed 4:2:2: Y0 U Y1 V
	uyvy,	   // packed 4:2:2: U Y0 V Y1
	yvyu,	   // packed 4:2:2: Y0 V Y1 U
	planar420, // three planes, Y, U, V; one chroma row for two luma rows
	nv12,	   // a Y plane and a plane of U V pairs; one chroma row for two luma rows
	nv21,	   // the same with V U pairs
};

// A YUV to RGB conversion in the fixed point the rows use. Made once per format change.
struct YuvMatrix {
	// Coefficients scaled by 2^13: each multiplies a sample in the high byte of 16 bits.
	std::uint16_t luma = 0;
	std::uint16_t redFromV = 0;
	std::uint16_t greenFromU = 0; // subtracted
	std::uint16_t greenFromV = 0; // subtracted
	std::uint16_t blueFromU = 0;
	// The offsets of Y, U and V, and the rounding, folded into one constant per channel, in
	// 1/32 of a level.
	std::int16_t redOffset = 0;
	std::int16_t greenOffset = 0;
	std::int16_t blueOffset = 0;
};

// A picture in its camera's layout, borrowed. Each plane has its own row step in bytes, which may
// be larger than its rows. Planes: [0] the packed pixels or the Y plane; for planar420, [1] U and
// [2] V; for nv12 and nv21, [1] the chroma pairs.
struct SourcePicture {
	PixelLayout layout = PixelLayout::rgb;
	int width = 0;
	int height = 0;
	const std::uint8_t *planes[3] = {};
	std::size_t strides[3] = {};
	// Two fields woven row by row (DVD, DV, broadcast): a halved chroma plane then holds each
	// field's chroma rows in turn, and a luma row takes its chroma from its own field.
	bool interlaced = false;
};
