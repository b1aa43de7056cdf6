// Per-row conversions with OpenCV's universal intrinsics; the scalar code does the same arithmetic
// for the pixels left over at the end of a row, so a pixel never depends on where it lies.
//
// The build compiles this file once for each instruction set in rgb_rows_kernels.h, each time
// into a namespace of its own. Everything else here is internal to the file, and it uses no
// template or inline function of a library other than OpenCV's intrinsics (which live in a
// namespace per instruction set): a copy of one compiled for AVX2 could otherwise stand in for
// everyone's, on machines without AVX2 too (the capture_simd_variants_share_nothing
// test checks).
#include "rgb_rows_kernels.h"

#include <cstring>

#ifdef __AVX2__
// OpenCV's headers include the AVX2 intrinsics themselves only in OpenCV's own build.
#include <immintrin.h>
#endif
#include <opencv2/core/hal/intrin.hpp>

#ifndef RGB_ROWS_SIMD_NAMESPACE
#define RGB_ROWS_SIMD_NAMESPACE simdBaseline
#endif

namespace {

constexpr int fractionBits = yuvFractionBits;

// The scalar twin of one SIMD lane: the high half of sample * 2^8 * coefficient.
int term(int sample, std::uint16_t coefficient)
{
	return static_cast<int>((static_cast<std::uint32_t>(sample) << 8) * coefficient >> 16);
}

std::uint8_t level(int sum)
{
	const int rounded = (sum + (1 << (fractionBits - 1))) >> fractionBits;
	return static_cast<std::uint8_t>(rounded < 0 ? 0 : rounded > 255 ? 255 : rounded);
}

void yuvPixel(int y, int u, int v, const YuvMatrix &m, std::uint8_t *rgb)
{
	const int luma = term(y, m.luma);
	rgb[0] = level(luma + term(v, m.redFromV) + m.redOffset);
	rgb[1] = level(luma + m.greenOffset - (term(u, m.greenFromU) + term(v, m.greenFromV)));
	rgb[2] = level(luma + term(u, m.blueFromU) + m.blueOffset);
}

#if CV_SIMD

// Lanes of 16 bits holding the samples in their high byte: the low half and the high half of x.
void highBytes(const cv::v_uint8 &x, cv::v_uint16 &low, cv::v_uint16 &high)
{
	const cv::v_uint8 zero = cv::vx_setzero_u8();
	cv::v_uint8 first;
	cv::v_uint8 second;
	cv::v_zip(zero, x, first, second);
	low = cv::v_reinterpret_as_u16(first);
	high = cv::v_reinterpret_as_u16(second);
}

cv::v_int16 vectorTerm(const cv::v_uint16 &highByteSamples, const cv::v_uint16 &coefficient)
{
	return cv::v_reinterpret_as_s16(cv::v_mul_hi(highByteSamples, coefficient));
}

// Two vectors of pixels, the even ones (y0) and the odd ones (y1) of a row, sharing the chroma
// in u and v, stored as RGB in the pixels' order.
void storeYuvPairs(const cv::v_uint8 &y0, const cv::v_uint8 &y1, const cv::v_uint8 &u,
		   const cv::v_uint8 &v, const YuvMatrix &m, std::uint8_t *rgb)
{
	using namespace cv;
	const v_uint16 luma = vx_setall_u16(m.luma);
	const v_uint16 redFromV = vx_setall_u16(m.redFromV);
	const v_uint16 greenFromU = vx_setall_u16(m.greenFromU);
	const v_uint16 greenFromV = vx_setall_u16(m.greenFromV);
	const v_uint16 blueFromU = vx_setall_u16(m.blueFromU);
	const v_int16 redOffset = vx_setall_s16(m.redOffset);
	const v_int16 greenOffset = vx_setall_s16(m.greenOffset);
	const v_int16 blueOffset = vx_setall_s16(m.blueOffset);

	v_uint16 uLow, uHigh, vLow, vHigh;
	highBytes(u, uLow, uHigh);
	highBytes(v, vLow, vHigh);
	const v_int16 redLow = vectorTerm(vLow, redFromV) + redOffset;
	const v_int16 redHigh = vectorTerm(vHigh, redFromV) + redOffset;
	const v_int16 greenLow =
		greenOffset - (vectorTerm(uLow, greenFromU) + vectorTerm(vLow, greenFromV));
	const v_int16 greenHigh =
		greenOffset - (vectorTerm(uHigh, greenFromU) + vectorTerm(vHigh, greenFromV));
	const v_int16 blueLow = vectorTerm(uLow, blueFromU) + blueOffset;
	const v_int16 blueHigh = vectorTerm(uHigh, blueFromU) + blueOffset;

	v_uint16 evenLow, evenHigh, oddLow, oddHigh;
	highBytes(y0, evenLow, evenHigh);
	highBytes(y1, oddLow, oddHigh);
	const v_int16 e0 = vectorTerm(evenLow, luma);
	const v_int16 e1 = vectorTerm(evenHigh, luma);
	const v_int16 o0 = vectorTerm(oddLow, luma);
	const v_int16 o1 = vectorTerm(oddHigh, luma);

	const v_uint8 redEven = v_rshr_pack_u<fractionBits>(e0 + redLow, e1 + redHigh);
	const v_uint8 redOdd = v_rshr_pack_u<fractionBits>(o0 + redLow, o1 + redHigh);
	const v_uint8 greenEven = v_rshr_pack_u<fractionBits>(e0 + greenLow, e1 + greenHigh);
	const v_uint8 greenOdd = v_rshr_pack_u<fractionBits>(o0 + greenLow, o1 + greenHigh);
	const v_uint8 blueEven = v_rshr_pack_u<fractionBits>(e0 + blueLow, e1 + blueHigh);
	const v_uint8 blueOdd = v_rshr_pack_u<fractionBits>(o0 + blueLow, o1 + blueHigh);

	v_uint8 red0, red1, green0, green1, blue0, blue1;
	v_zip(redEven, redOdd, red0, red1);
	v_zip(greenEven, greenOdd, green0, green1);
	v_zip(blueEven, blueOdd, blue0, blue1);
	v_store_interleave(rgb, red0, green0, blue0);
	v_store_interleave(rgb + 3 * v_uint8::nlanes, red1, green1, blue1);
}

// Pixels per step of the YUV rows: a vector of even and one of odd pixels.
constexpr int yuvStep = 2 * cv::v_uint8::nlanes;

#endif

// Packed 4:2:2 with the samples of a pixel pair at these indices of its four bytes.
template <int Y0, int U, int Y1, int V>
void packed422Row(const std::uint8_t *source, std::uint8_t *rgb, int width, const YuvMatrix &m)
{
	int x = 0;
#if CV_SIMD
	for (; x + yuvStep <= width; x += yuvStep) {
		cv::v_uint8 samples[4];
		cv::v_load_deinterleave(source + 2 * x, samples[0], samples[1], samples[2],
					samples[3]);
		storeYuvPairs(samples[Y0], samples[Y1], samples[U], samples[V], m, rgb + 3 * x);
	}
#endif
	for (; x < width; ++x) {
		const std::uint8_t *pair = source + 4 * (x / 2);
		yuvPixel(pair[x % 2 == 0 ? Y0 : Y1], pair[U], pair[V], m, rgb + 3 * x);
	}
}

void planarRow(const std::uint8_t *luma, const std::uint8_t *u, const std::uint8_t *v,
	       std::uint8_t *rgb, int width, const YuvMatrix &m)
{
	int x = 0;
#if CV_SIMD
	for (; x + yuvStep <= width; x += yuvStep) {
		cv::v_uint8 even, odd;
		cv::v_load_deinterleave(luma + x, even, odd);
		storeYuvPairs(even, odd, cv::vx_load(u + x / 2), cv::vx_load(v + x / 2), m,
			      rgb + 3 * x);
	}
#endif
	for (; x < width; ++x)
		yuvPixel(luma[x], u[x / 2], v[x / 2], m, rgb + 3 * x);
}

// Chroma pairs with U first (nv12) or V first (nv21).
template <bool VFirst>
void semiPlanarRow(const std::uint8_t *luma, const std::uint8_t *chroma, std::uint8_t *rgb,
		   int width, const YuvMatrix &m)
{
	int x = 0;
#if CV_SIMD
	for (; x + yuvStep <= width; x += yuvStep) {
		cv::v_uint8 even, odd, first, second;
		cv::v_load_deinterleave(luma + x, even, odd);
		cv::v_load_deinterleave(chroma + x, first, second);
		storeYuvPairs(even, odd, VFirst ? second : first, VFirst ? first : second, m,
			      rgb + 3 * x);
	}
#endif
	for (; x < width; ++x) {
		const std::uint8_t *pair = chroma + 2 * (x / 2);
		yuvPixel(luma[x], pair[VFirst ? 1 : 0], pair[VFirst ? 0 : 1], m, rgb + 3 * x);
	}
}

// Three or four bytes a pixel with red, green and blue at these indices.
template <int Bytes, int R, int G, int B>
void rgbRow(const std::uint8_t *source, std::uint8_t *rgb, int width)
{
	int x = 0;
#if CV_SIMD
	constexpr int step = cv::v_uint8::nlanes;
	for (; x + step <= width; x += step) {
		cv::v_uint8 channels[4];
		if constexpr (Bytes == 3)
			cv::v_load_deinterleave(source + 3 * x, channels[0], channels[1],
						channels[2]);
		else
			cv::v_load_deinterleave(source + 4 * x, channels[0], channels[1],
						channels[2], channels[3]);
		cv::v_store_interleave(rgb + 3 * x, channels[R], channels[G], channels[B]);
	}
#endif
	for (; x < width; ++x) {
		const std::uint8_t *pixel = source + Bytes * x;
		rgb[3 * x] = pixel[R];
		rgb[3 * x + 1] = pixel[G];
		rgb[3 * x + 2] = pixel[B];
	}
}

void grayRow(const std::uint8_t *source, std::uint8_t *rgb, int width)
{
	int x = 0;
#if CV_SIMD
	constexpr int step = cv::v_uint8::nlanes;
	for (; x + step <= width; x += step) {
		const cv::v_uint8 gray = cv::vx_load(source + x);
		cv::v_store_interleave(rgb + 3 * x, gray, gray, gray);
	}
#endif
	for (; x < width; ++x)
		std::memset(rgb + 3 * x, source[x], 3);
}

const std::uint8_t *planeRow(const SourcePicture &picture, int plane, int row)
{
	const std::uint8_t *start = picture.planes[plane];
	return start ? start + static_cast<std::size_t>(row) * picture.strides[plane] : nullptr;
}

// The chroma row of a luma row where chroma planes have one row for every two. Interlaced, as
// GStreamer's video library has it: rows 0 and 2 share chroma row 0, rows 1 and 3 chroma row 1,
// and so on in groups of four; kept within the plane where the height is not a multiple of 4.
int halvedChromaRow(const SourcePicture &picture, int row)
{
	if (!picture.interlaced)
		return row / 2;
	const int chromaRow = ((row >> 1) & ~1) | (row & 1);
	const int lastChromaRow = (picture.height + 1) / 2 - 1;
	return chromaRow < lastChromaRow ? chromaRow : lastChromaRow;
}

// Calls convertRow(row of plane 0, row of plane 1, row of plane 2, destination row) for each
// source row, top first, with its mirrored destination row; chroma planes have one row for
// every two when halved. A plane the layout does not have comes as null.
template <typename RowFunction>
void eachRowMirrored(const SourcePicture &picture, bool chromaHalved, std::uint8_t *rgb,
		     std::size_t rgbStride, RowFunction convertRow)
{
	for (int row = 0; row < picture.height; ++row) {
		const int chromaRow = chromaHalved ? halvedChromaRow(picture, row) : row;
		convertRow(planeRow(picture, 0, row), planeRow(picture, 1, chromaRow),
			   planeRow(picture, 2, chromaRow),
			   rgb + static_cast<std::size_t>(picture.height - 1 - row) * rgbStride);
	}
}

template <int Bytes, int R, int G, int B>
void rgbRows(const SourcePicture &picture, std::uint8_t *rgb, std::size_t rgbStride)
{
	eachRowMirrored(picture, false, rgb, rgbStride,
			[width = picture.width](const std::uint8_t *source, const std::uint8_t *,
						const std::uint8_t *, std::uint8_t *destination) {
				rgbRow<Bytes, R, G, B>(source, destination, width);
			});
}

template <int Y0, int U, int Y1, int V>
void packed422Rows(const SourcePicture &picture, const YuvMatrix &m, std::uint8_t *rgb,
		   std::size_t rgbStride)
{
	eachRowMirrored(picture, false, rgb, rgbStride,
			[&m, width = picture.width](const std::uint8_t *source,
						    const std::uint8_t *, const std::uint8_t *,
						    std::uint8_t *destination) {
				packed422Row<Y0, U, Y1, V>(source, destination, width, m);
			});
}

template <bool VFirst>
void semiPlanarRows(const SourcePicture &picture, const YuvMatrix &m, std::uint8_t *rgb,
		    std::size_t rgbStride)
{
	eachRowMirrored(
		picture, true, rgb, rgbStride,
		[&m, width = picture.width](const std::uint8_t *luma, const std::uint8_t *chroma,
					    const std::uint8_t *, std::uint8_t *destination) {
			semiPlanarRow<VFirst>(luma, chroma, destination, width, m);
		});
}

} // namespace

namespace RGB_ROWS_SIMD_NAMESPACE {

void convertBottomUp(const SourcePicture &picture, const YuvMatrix &matrix, std::uint8_t *rgb,
		     std::size_t rgbStride)
{
	const int width = picture.width;
	switch (picture.layout) {
	case PixelLayout::rgb:
		eachRowMirrored(picture, false, rgb, rgbStride,
				[width](const std::uint8_t *source, const std::uint8_t *,
					const std::uint8_t *, std::uint8_t *destination) {
					std::memcpy(destination, source,
						    static_cast<std::size_t>(width) * 3);
				});
		break;
	case PixelLayout::bgr:
		rgbRows<3, 2, 1, 0>(picture, rgb, rgbStride);
		break;
	case PixelLayout::rgbx:
		rgbRows<4, 0, 1, 2>(picture, rgb, rgbStride);
		break;
	case PixelLayout::bgrx:
		rgbRows<4, 2, 1, 0>(picture, rgb, rgbStride);
		break;
	case PixelLayout::xrgb:
		rgbRows<4, 1, 2, 3>(picture, rgb, rgbStride);
		break;
	case PixelLayout::xbgr:
		rgbRows<4, 3, 2, 1>(picture, rgb, rgbStride);
		break;
	case PixelLayout::gray:
		eachRowMirrored(picture, false, rgb, rgbStride,
				[width](const std::uint8_t *source, const std::uint8_t *,
					const std::uint8_t *, std::uint8_t *destination) {
					grayRow(source, destination, width);
				});
		break;
	case PixelLayout::yuyv:
		packed422Rows<0, 1, 2, 3>(picture, matrix, rgb, rgbStride);
		break;
	case PixelLayout::uyvy:
		packed422Rows<1, 0, 3, 2>(picture, matrix, rgb, rgbStride);
		break;
	case PixelLayout::yvyu:
		packed422Rows<0, 3, 2, 1>(picture, matrix, rgb, rgbStride);
		break;
	case PixelLayout::planar420:
		eachRowMirrored(picture, true, rgb, rgbStride,
				[&matrix, width](const std::uint8_t *luma, const std::uint8_t *u,
						 const std::uint8_t *v, std::uint8_t *destination) {
					planarRow(luma, u, v, destination, width, matrix);
				});
		break;
	case PixelLayout::nv12:
		semiPlanarRows<false>(picture, matrix, rgb, rgbStride);
		break;
	case PixelLayout::nv21:
		semiPlanarRows<true>(picture, matrix, rgb, rgbStride);
		break;
	}
}

} // namespace RGB_ROWS_SIMD_NAMESPACE
