// libFuzzer target: frames of any geometry, row step, depth, channel count and content, through
// the per-frame processing exactly as the capture layer's streaming thread calls it.
//
// Input: width, height (each 1 to 256; the 8K frame has a test of its own), channels and depth, row
// padding, the two thresholds, then pixel bytes, repeated to fill the frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "edge_thresholds.h"
#include "frame_pipeline.h"
#include "gui_dispatch.h"

namespace {

constexpr std::size_t headerBytes = 8;

int dimension(std::uint8_t high, std::uint8_t low)
{
	return 1 + ((high << 8 | low) % 256);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < headerBytes)
		return 0;
	const int width = dimension(data[0], data[1]);
	const int height = dimension(data[2], data[3]);
	const int channels = 1 + data[4] % 4;
	const int depth = data[4] & 0x80 ? CV_16U : CV_8U;
	threshold1.store(data[6]);
	threshold2.store(data[7]);

	const int type = CV_MAKETYPE(depth, channels);
	// Rows hold whole samples, as any image buffer does.
	const int rowPadding = data[5] % 64 * CV_ELEM_SIZE1(type);
	const std::size_t rowBytes = static_cast<std::size_t>(width) * CV_ELEM_SIZE(type) +
				     static_cast<std::size_t>(rowPadding);
	std::vector<std::uint8_t> buffer(rowBytes * static_cast<std::size_t>(height));
	const std::uint8_t *pixels = data + headerBytes;
	const std::size_t pixelCount = size - headerBytes;
	for (std::size_t i = 0; i < buffer.size() && pixelCount; ++i)
		buffer[i] = pixels[i % pixelCount];
	const cv::Mat frame(height, width, type, buffer.data(), rowBytes);

	if (depth == CV_8U && channels >= 3) {
		const cv::Mat edges = edgeImageOf(frame, data[6], data[7]);
		if (edges.size() != frame.size() || edges.type() != CV_8UC1)
			std::abort();
	}
	// As the capture layer calls it: from a thread other than the GUI's, which is not running
	// here, so the display work is dropped at once.
	guiDispatcher().close();
	std::thread([&] { edgeFrameCallback(frame); }).join();
	return 0;
}
