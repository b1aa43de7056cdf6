// libFuzzer target: bytes of any kind through the PNG, JPEG and BMP header walks, each judged
// against OpenCV's own decoder. A header the walk sizes must decode at that size or not at all; a
// header the walk refuses must not decode, or a file the viewer refuses would open elsewhere
// and the walk has parted ways with its decoder (the size cap then stands on the wrong bytes).
// Headers over a few megapixels are only walked: decoding them each time would starve the run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "capture/image_header.h"

namespace {

constexpr std::uint64_t largestDecoded = 1 << 22;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	cv::setNumThreads(0);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	const ImageHeader header = imageHeader(std::span(data, size));
	// Read through the span, so that one reaching past the input shows under AddressSanitizer.
	unsigned sum = 0;
	for (const unsigned char byte : header.exif)
		sum += byte;
	if (header.format == HeaderFormat::other ||
	    (header.sized() && header.pixels() > largestDecoded))
		return static_cast<int>(sum & 0);
	cv::Mat decoded;
	try {
		// Unchanged: as stored, not turned by its orientation, which the header walk
		// ignores.
		const cv::Mat encoded(1, static_cast<int>(size), CV_8UC1,
				      const_cast<std::uint8_t *>(data));
		decoded = cv::imdecode(encoded, cv::IMREAD_UNCHANGED);
	} catch (const cv::Exception &) {
		decoded.release();
	}
	if (decoded.empty())
		return 0;
	if (!header.sized())
		std::abort(); // refused, yet the decoder decodes it
	if (static_cast<std::uint64_t>(decoded.cols) != header.width ||
	    static_cast<std::uint64_t>(decoded.rows) != header.height)
		std::abort(); // sized apart from the decoder
	return 0;
}
