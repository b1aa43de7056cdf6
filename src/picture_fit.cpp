// The fitting rule and the edge-keeping shrink, free of any window or screen.
#include "picture_fit.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

// The source lines [first, end) that shown line i of n covers, even in part, when count source
// lines are shown as n.
struct Span {
	int first;
	int end;
};

Span coveredSpan(int i, int n, int count)
{
	const std::int64_t begin = std::int64_t{ i } * count;
	const std::int64_t finish = std::int64_t{ i + 1 } * count;
	return { static_cast<int>(begin / n), static_cast<int>((finish + n - 1) / n) };
}

} // namespace

cv::Size fittedSize(cv::Size picture, cv::Size room)
{
	if (room.width <= 0 || room.height <= 0 || picture.width <= 0 || picture.height <= 0)
		return picture;
	if (picture.width <= room.width && picture.height <= room.height)
		return picture;
	// In integers, so that a picture of exactly the room's shape fills it to the pixel.
	const std::int64_t width = picture.width;
	const std::int64_t height = picture.height;
	if (width * room.height <= height * room.width) {
		const auto fittedWidth = static_cast<int>(width * room.height / height);
		return { std::max(fittedWidth, 1), room.height };
	}
	const auto fittedHeight = static_cast<int>(height * room.width / width);
	return { room.width, std::max(fittedHeight, 1) };
}

cv::Mat shrinkKeepingEdges(const cv::Mat &edges, cv::Size size)
{
	CV_Assert(edges.type() == CV_8UC1);
	size.width = std::clamp(size.width, 1, edges.cols);
	size.height = std::clamp(size.height, 1, edges.rows);
	if (size == edges.size())
		return edges;

	// Plain loops over bytes, which the compiler turns into vector code: a call into OpenCV
	// per row or column would cost more than the work itself. Across, levels[k - 1][x] holds
	// the brightest of the k pixels from x on, each level one vector pass over the row, so
	// that each shown pixel is one load from the level of its span's length.
	const int width = edges.cols;
	std::vector<std::size_t> pick(static_cast<std::size_t>(size.width));
	int widest = 1;
	for (int x = 0; x < size.width; ++x) {
		const Span span = coveredSpan(x, size.width, width);
		const int length = span.end - span.first;
		widest = std::max(widest, length);
		pick[static_cast<std::size_t>(x)] =
			static_cast<std::size_t>(length - 1) * width + span.first;
	}
	std::vector<unsigned char> levels(static_cast<std::size_t>(widest) * width);
	cv::Mat shrunk(size, CV_8UC1);
	for (int y = 0; y < size.height; ++y) {
		const Span rows = coveredSpan(y, size.height, edges.rows);
		unsigned char *brightest = levels.data();
		const unsigned char *first = edges.ptr<unsigned char>(rows.first);
		std::copy(first, first + width, brightest);
		for (int from = rows.first + 1; from < rows.end; ++from) {
			const unsigned char *row = edges.ptr<unsigned char>(from);
			for (int x = 0; x < width; ++x)
				brightest[x] = std::max(brightest[x], row[x]);
		}
		for (int length = 2; length <= widest; ++length) {
			const unsigned char *shorter = brightest + (length - 2) * width;
			unsigned char *level = brightest + (length - 1) * width;
			const int last = width - length;
			for (int x = 0; x <= last; ++x)
				level[x] = std::max(shorter[x], brightest[x + length - 1]);
		}
		unsigned char *out = shrunk.ptr<unsigned char>(y);
		for (int x = 0; x < size.width; ++x)
			out[x] = brightest[pick[static_cast<std::size_t>(x)]];
	}
	return shrunk;
}
