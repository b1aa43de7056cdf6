// The fixed-point matrix, and the choice of the widest row conversions the machine runs.
#include "rgb_rows.h"

#include <cmath>

#include <opencv2/core/utility.hpp>

#include "rgb_rows_kernels.h"

namespace {

std::uint16_t fixedCoefficient(double value)
{
	return static_cast<std::uint16_t>(std::lround(value * (1 << (yuvFractionBits + 8))));
}

std::int16_t fixedOffset(double levels)
{
	return static_cast<std::int16_t>(std::lround(levels * (1 << yuvFractionBits)));
}

} // namespace

YuvMatrix yuvMatrix(double kr, double kb, int lumaOffset, int lumaScale, int chromaOffset,
		    int chromaScale)
{
	const double kg = 1.0 - kr - kb;
	const double luma = 255.0 / lumaScale;
	const double chroma = 255.0 / chromaScale;
	const double redFromV = 2.0 * (1.0 - kr) * chroma;
	const double blueFromU = 2.0 * (1.0 - kb) * chroma;
	const double greenFromU = 2.0 * (1.0 - kb) * kb / kg * chroma;
	const double greenFromV = 2.0 * (1.0 - kr) * kr / kg * chroma;
	const double lumaShift = -lumaOffset * luma;
	return YuvMatrix{
		.luma = fixedCoefficient(luma),
		.redFromV = fixedCoefficient(redFromV),
		.greenFromU = fixedCoefficient(greenFromU),
		.greenFromV = fixedCoefficient(greenFromV),
		.blueFromU = fixedCoefficient(blueFromU),
		.redOffset = fixedOffset(lumaShift - chromaOffset * redFromV),
		.greenOffset = fixedOffset(lumaShift + chromaOffset * (greenFromU + greenFromV)),
		.blueOffset = fixedOffset(lumaShift - chromaOffset * blueFromU),
	};
}

void convertBottomUp(const SourcePicture &picture, const YuvMatrix &matrix, std::uint8_t *rgb,
		     std::size_t rgbStride)
{
#ifdef EDGE_VIEWER_AVX2_ROWS
	// OpenCV's own answer, which also honours OPENCV_CPU_DISABLE=AVX2 in the environment.
	static const bool avx2 = cv::checkHardwareSupport(CV_CPU_AVX2);
	if (avx2) {
		simdAvx2::convertBottomUp(picture, matrix, rgb, rgbStride);
		return;
	}
#endif
	simdBaseline::convertBottomUp(picture, matrix, rgb, rgbStride);
}
