// The fitting rule and the edge-keeping shrink, free of any window or screen.
#include "picture_fit.h"

#include <algorithm>
#include <cstdint>

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

// Each row of the result is the brightest of the rows of source it covers.
cv::Mat shrinkRows(const cv::Mat &source, int rows)
{
	cv::Mat shrunk(rows, source.cols, source.type());
	for (int y = 0; y < rows; ++y) {
		const Span span = coveredSpan(y, rows, source.rows);
		cv::Mat row = shrunk.row(y);
		source.row(span.first).copyTo(row);
		for (int from = span.first + 1; from < span.end; ++from)
			cv::max(row, source.row(from), row);
	}
	return shrunk;
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
	// Columns are taken as rows of the transposed picture, so both passes run along rows, where
	// cv::max works on whole vectors.
	const cv::Mat rowsDone = shrinkRows(edges, size.height);
	cv::Mat turned;
	cv::transpose(rowsDone, turned);
	cv::Mat shrunk;
	cv::transpose(shrinkRows(turned, size.width), shrunk);
	return shrunk;
}
