// The row conversions, each build of them this machine runs, against the conversion worked out
// in double precision, on random samples, with padded rows and widths that leave pixels over
// after the SIMD steps.
#include "capture/rgb_rows.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>

#include <gtest/gtest.h>

#include "capture/rgb_rows_kernels.h"

namespace {

struct Variant {
	const char *name;
	void (*convert)(const SourcePicture &, const YuvMatrix &, std::uint8_t *, std::size_t);
};

// Every build of the rows that this machine can run.
std::vector<Variant> variants()
{
	std::vector<Variant> runnable{ { "baseline", simdBaseline::convertBottomUp } };
#ifdef EDGE_VIEWER_AVX2_ROWS
	if (cv::checkHardwareSupport(CV_CPU_AVX2))
		runnable.push_back({ "avx2", simdAvx2::convertBottomUp });
#endif
	return runnable;
}

struct Matrix {
	const char *name;
	double kr;
	double kb;
	int lumaOffset;
	int lumaScale;
	int chromaScale;
};

const Matrix matrices[] = {
	{ "bt601", 0.299, 0.114, 16, 219, 224 },
	{ "bt709", 0.2126, 0.0722, 16, 219, 224 },
	{ "bt2020", 0.2627, 0.0593, 16, 219, 224 },
	{ "jpeg", 0.299, 0.114, 0, 255, 255 },
};

std::array<int, 3> exactRgb(int y, int u, int v, const Matrix &m)
{
	const double luma = (y - m.lumaOffset) / static_cast<double>(m.lumaScale);
	const double pb = (u - 128) / static_cast<double>(m.chromaScale);
	const double pr = (v - 128) / static_cast<double>(m.chromaScale);
	const double red = luma + 2 * (1 - m.kr) * pr;
	const double blue = luma + 2 * (1 - m.kb) * pb;
	const double green = (luma - m.kr * red - m.kb * blue) / (1 - m.kr - m.kb);
	const auto level = [](double value) {
		return static_cast<int>(std::clamp(std::lround(value * 255), 0L, 255L));
	};
	return { level(red), level(green), level(blue) };
}

// A picture of random samples whose rows are padded by a few bytes that are not a whole
// pixel, so that a row read with the wrong step comes out shifted.
struct RandomPicture {
	std::vector<cv::Mat> planes;
	SourcePicture picture;

	RandomPicture(PixelLayout layout, int width, int height)
	{
		picture.layout = layout;
		picture.width = width;
		picture.height = height;
		const int chromaRows = (height + 1) / 2;
		const int pairs = (width + 1) / 2;
		switch (layout) {
		case PixelLayout::yuyv:
		case PixelLayout::uyvy:
		case PixelLayout::yvyu:
			add(height, 4 * pairs);
			break;
		case PixelLayout::planar420:
			add(height, width);
			add(chromaRows, pairs);
			add(chromaRows, pairs);
			break;
		case PixelLayout::nv12:
		case PixelLayout::nv21:
			add(height, width);
			add(chromaRows, 2 * pairs);
			break;
		case PixelLayout::rgb:
		case PixelLayout::bgr:
			add(height, 3 * width);
			break;
		case PixelLayout::gray:
			add(height, width);
			break;
		default:
			add(height, 4 * width);
			break;
		}
	}

	void add(int rows, int bytes)
	{
		cv::Mat padded(rows, bytes + 7, CV_8UC1);
		cv::randu(padded, 0, 256);
		const std::size_t plane = planes.size();
		planes.push_back(padded);
		picture.planes[plane] = padded.ptr();
		picture.strides[plane] = padded.step;
	}

	int at(int plane, int row, int byte) const
	{
		return planes[plane].at<std::uint8_t>(row, byte);
	}

	// Y, U and V of a pixel, read the way the format is defined.
	std::array<int, 3> yuv(int x, int row) const
	{
		const int pair = 4 * (x / 2);
		switch (picture.layout) {
		case PixelLayout::yuyv:
			return { at(0, row, pair + 2 * (x % 2)), at(0, row, pair + 1),
				 at(0, row, pair + 3) };
		case PixelLayout::uyvy:
			return { at(0, row, pair + 1 + 2 * (x % 2)), at(0, row, pair),
				 at(0, row, pair + 2) };
		case PixelLayout::yvyu:
			return { at(0, row, pair + 2 * (x % 2)), at(0, row, pair + 3),
				 at(0, row, pair + 1) };
		case PixelLayout::planar420:
			return { at(0, row, x), at(1, row / 2, x / 2), at(2, row / 2, x / 2) };
		case PixelLayout::nv12:
			return { at(0, row, x), at(1, row / 2, pair / 2),
				 at(1, row / 2, pair / 2 + 1) };
		default: // nv21
			return { at(0, row, x), at(1, row / 2, pair / 2 + 1),
				 at(1, row / 2, pair / 2) };
		}
	}
};

// Each picture's output with room around it: a write past a row's last pixel changes the
// guard bytes.
struct Output {
	static constexpr std::uint8_t guard = 0xa5;
	cv::Mat rgb;

	Output(int width, int height) : rgb(height, 3 * width + 5, CV_8UC1, cv::Scalar(guard)) {}

	void convert(const Variant &variant, const SourcePicture &picture, const YuvMatrix &matrix)
	{
		variant.convert(picture, matrix, rgb.ptr(), rgb.step);
	}

	// The pixel that the source's (x, row) became.
	std::array<int, 3> rgbOf(int x, int row) const
	{
		const std::uint8_t *pixel = rgb.ptr(rgb.rows - 1 - row) + 3 * x;
		return { pixel[0], pixel[1], pixel[2] };
	}

	bool guardsIntact(int width) const
	{
		for (int row = 0; row < rgb.rows; ++row)
			for (int byte = 3 * width; byte < rgb.cols; ++byte)
				if (rgb.at<std::uint8_t>(row, byte) != guard)
					return false;
		return true;
	}
};

struct YuvCase {
	PixelLayout layout;
	const char *name;
};

const YuvCase yuvLayouts[] = {
	{ PixelLayout::yuyv, "yuyv" }, { PixelLayout::uyvy, "uyvy" },
	{ PixelLayout::yvyu, "yvyu" }, { PixelLayout::planar420, "planar420" },
	{ PixelLayout::nv12, "nv12" }, { PixelLayout::nv21, "nv21" },
};

// Widths: narrower than one SIMD step of any build (scalar only), steps and a remainder, more
// steps and an odd remainder.
const int widths[] = { 7, 70, 161 };

class YuvRows : public testing::TestWithParam<std::tuple<Variant, YuvCase, Matrix>>
{
};

} // namespace

// Catches a coefficient, offset or lane in the wrong place, a sum that overflows 16 bits on
// saturated colours, chroma taken from the wrong pair or row, and a pixel left over at the end
// of a row converted differently: every pixel within one level of the exact conversion, and the
// first source row stored last.
TEST_P(YuvRows, EveryPixelWithinOneLevelOfTheExactConversion)
{
	const auto &[variant, layout, matrix] = GetParam();
	const YuvMatrix fixed = yuvMatrix(matrix.kr, matrix.kb, matrix.lumaOffset, matrix.lumaScale,
					  128, matrix.chromaScale);
	for (const int width : widths) {
		const int height = 5;
		const RandomPicture source(layout.layout, width, height);
		Output output(width, height);
		output.convert(variant, source.picture, fixed);
		int worst = 0;
		for (int row = 0; row < height; ++row)
			for (int x = 0; x < width; ++x) {
				const auto [y, u, v] = source.yuv(x, row);
				const auto expected = exactRgb(y, u, v, matrix);
				const auto actual = output.rgbOf(x, row);
				for (int c = 0; c < 3; ++c)
					worst = std::max(worst, std::abs(actual[c] - expected[c]));
			}
		EXPECT_LE(worst, 1) << "width " << width;
		EXPECT_TRUE(output.guardsIntact(width)) << "width " << width;
	}
}

INSTANTIATE_TEST_SUITE_P(LayoutsAndMatrices, YuvRows,
			 testing::Combine(testing::ValuesIn(variants()),
					  testing::ValuesIn(yuvLayouts),
					  testing::ValuesIn(matrices)),
			 [](const testing::TestParamInfo<YuvRows::ParamType> &param) {
				 return std::string(std::get<0>(param.param).name) + "_" +
					std::get<1>(param.param).name + "_" +
					std::get<2>(param.param).name;
			 });

namespace {

struct RgbCase {
	PixelLayout layout;
	const char *name;
	int bytes;
	std::array<int, 3> redGreenBlue; // where each lies in a pixel's bytes
};

const RgbCase rgbLayouts[] = {
	{ PixelLayout::rgb, "rgb", 3, { 0, 1, 2 } },
	{ PixelLayout::bgr, "bgr", 3, { 2, 1, 0 } },
	{ PixelLayout::rgbx, "rgbx", 4, { 0, 1, 2 } },
	{ PixelLayout::bgrx, "bgrx", 4, { 2, 1, 0 } },
	{ PixelLayout::xrgb, "xrgb", 4, { 1, 2, 3 } },
	{ PixelLayout::xbgr, "xbgr", 4, { 3, 2, 1 } },
	{ PixelLayout::gray, "gray", 1, { 0, 0, 0 } },
};

class RgbRows : public testing::TestWithParam<std::tuple<Variant, RgbCase>>
{
};

} // namespace

// Catches channels swapped or taken from the padding byte, and rows read with the wrong step:
// RGB sources are rearranged, never changed.
TEST_P(RgbRows, EveryPixelIsTheSourcesChannelsInRgbOrder)
{
	const auto &[variant, layout] = GetParam();
	for (const int width : widths) {
		const int height = 4;
		const RandomPicture source(layout.layout, width, height);
		Output output(width, height);
		output.convert(variant, source.picture, YuvMatrix{});
		int mismatches = 0;
		for (int row = 0; row < height; ++row)
			for (int x = 0; x < width; ++x) {
				const auto actual = output.rgbOf(x, row);
				for (int c = 0; c < 3; ++c)
					mismatches += actual[c] !=
						      source.at(0, row,
								layout.bytes * x +
									layout.redGreenBlue[c]);
			}
		EXPECT_EQ(mismatches, 0) << "width " << width;
		EXPECT_TRUE(output.guardsIntact(width)) << "width " << width;
	}
}

INSTANTIATE_TEST_SUITE_P(Layouts, RgbRows,
			 testing::Combine(testing::ValuesIn(variants()),
					  testing::ValuesIn(rgbLayouts)),
			 [](const testing::TestParamInfo<RgbRows::ParamType> &param) {
				 return std::string(std::get<0>(param.param).name) + "_" +
					std::get<1>(param.param).name;
			 });
