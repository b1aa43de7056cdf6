// Decoding a still image, or the first of a sequence, with OpenCV's image codecs, quietly.
#include "still_image.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// OpenCV's own limit (OPENCV_IO_MAX_IMAGE_PIXELS unset), which it checks against the header
// before it allocates anything. It is read when OpenCV loads, too early for the viewer to lower.
constexpr long long openCvMaximumPixels = 1LL << 30;

// The viewer's own, checked first where the header is simple to read (PNG, JPEG, BMP): a picture
// takes about 10 bytes a pixel while it is shown (decoded, RGB, grey, edges, the window's copy),
// so a small file that claims a picture much larger, which OpenCV would still decode, cannot take
// the machine's memory. A 100-megapixel camera's photo stays well within it.
constexpr long long maximumPixels = 200'000'000;

std::uint32_t bigEndian(const unsigned char *bytes, int count)
{
	std::uint32_t value = 0;
	for (int i = 0; i < count; ++i)
		value = value << 8 | bytes[i];
	return value;
}

std::uint32_t littleEndian(const unsigned char *bytes, int count)
{
	std::uint32_t value = 0;
	for (int i = count - 1; i >= 0; --i)
		value = value << 8 | bytes[i];
	return value;
}

// A JPEG's size from its first start-of-frame segment; false when there is none to read.
bool jpegSize(std::FILE *file, long long &width, long long &height)
{
	unsigned char bytes[7];
	if (std::fseek(file, 2, SEEK_SET) != 0)
		return false;
	for (;;) {
		int marker = 0;
		do {
			marker = std::fgetc(file);
		} while (marker == 0xFF);
		if (marker == EOF)
			return false;
		// Markers without a length: standalone and restart markers.
		if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD9))
			continue;
		if (std::fread(bytes, 1, 2, file) != 2)
			return false;
		const long length = static_cast<long>(bigEndian(bytes, 2));
		const bool startOfFrame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 &&
					  marker != 0xC8 && marker != 0xCC;
		if (startOfFrame) {
			if (std::fread(bytes, 1, 5, file) != 5)
				return false;
			height = bigEndian(bytes + 1, 2);
			width = bigEndian(bytes + 3, 2);
			return true;
		}
		if (length < 2 || std::fseek(file, length - 2, SEEK_CUR) != 0)
			return false;
		// Skips to the next marker's 0xFF.
		if (std::fgetc(file) != 0xFF)
			return false;
	}
}

// The size the file's header claims, for PNG, JPEG and BMP; false for other formats or a header
// that cannot be read, which the decoder then judges.
bool claimedSize(const std::string &path, long long &width, long long &height)
{
	const std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::fopen(path.c_str(), "rb"),
								    &std::fclose);
	unsigned char header[26] = {};
	if (!file || std::fread(header, 1, sizeof header, file.get()) != sizeof header)
		return false;
	if (std::memcmp(header, "\x89PNG\r\n\x1a\n", 8) == 0 &&
	    std::memcmp(header + 12, "IHDR", 4) == 0) {
		width = bigEndian(header + 16, 4);
		height = bigEndian(header + 20, 4);
		return true;
	}
	if (header[0] == 'B' && header[1] == 'M') {
		width = static_cast<std::int32_t>(littleEndian(header + 18, 4));
		// Negative for a picture stored top row first.
		height = std::llabs(static_cast<std::int32_t>(littleEndian(header + 22, 4)));
		return true;
	}
	if (header[0] == 0xFF && header[1] == 0xD8)
		return jpegSize(file.get(), width, height);
	return false;
}

// How many first numbers a sequence may start at before it counts as missing.
constexpr int sequenceStartsTried = 2;

// While it lives, whatever the process writes to stderr goes to a memory file instead: libjpeg,
// libpng and OpenCV's loader print their complaints there, and the viewer's rule is one line per
// fault. Main thread only, before any other thread writes to stderr.
class CapturedStderr
{
public:
	CapturedStderr()
	{
		std::fflush(stderr);
		file_ = memfd_create("edge-viewer-stderr", MFD_CLOEXEC);
		saved_ = file_ >= 0 ? dup(STDERR_FILENO) : -1;
		if (saved_ >= 0)
			dup2(file_, STDERR_FILENO);
	}
	CapturedStderr(const CapturedStderr &) = delete;
	CapturedStderr &operator=(const CapturedStderr &) = delete;
	~CapturedStderr()
	{
		restore();
		if (file_ >= 0)
			close(file_);
	}

	// Puts stderr back and returns what was written meanwhile.
	std::string text()
	{
		restore();
		std::string captured;
		if (file_ < 0)
			return captured;
		char chunk[512];
		ssize_t count = 0;
		off_t offset = 0;
		while ((count = pread(file_, chunk, sizeof chunk, offset)) > 0) {
			captured.append(chunk, static_cast<std::size_t>(count));
			offset += count;
		}
		return captured;
	}

private:
	void restore()
	{
		if (saved_ < 0)
			return;
		std::fflush(stderr);
		dup2(saved_, STDERR_FILENO);
		close(saved_);
		saved_ = -1;
	}

	int file_ = -1;
	int saved_ = -1;
};

// The first line of a library's complaint, without OpenCV's source location or a closing stop.
std::string firstComplaint(const std::string &text)
{
	std::string line = text.substr(0, text.find('\n'));
	// OpenCV's own: "imread_('x'): can't read data: OpenCV(4.6.0) file:line: error: (-2:...)
	// Unexpected end of input stream in function 'readBlock'"
	if (const auto at = line.find("error: ("); at != std::string::npos) {
		const auto close = line.find(") ", at);
		line = close == std::string::npos ? std::string() : line.substr(close + 2);
		if (const auto function = line.find(" in function "); function != std::string::npos)
			line.erase(function);
	}
	while (!line.empty() && (line.back() == '.' || line.back() == ' ' || line.back() == '\r'))
		line.pop_back();
	return line;
}

std::string quoted(const std::string &text)
{
	std::string out = "\"";
	for (const char c : text) {
		if (c == '"' || c == '\\')
			out += '\\';
		out += c;
	}
	return out + "\"";
}

std::string extensionOf(const std::string &path)
{
	const auto dot = path.rfind('.');
	if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
		return {};
	std::string extension = path.substr(dot + 1);
	for (char &c : extension)
		c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
	return extension;
}

} // namespace

bool isImageSequence(const std::string &path)
{
	// Exactly one integer conversion and no other, but for "%%": the pattern goes to printf, so
	// anything else could read arguments that are not there.
	static const std::regex pattern("([^%]|%%)*%0?[0-9]{0,2}d([^%]|%%)*");
	return std::regex_match(path, pattern);
}

bool isStillImage(const std::string &path)
{
	CapturedStderr quiet;
	try {
		return cv::haveImageReader(path);
	} catch (const cv::Exception &) {
		return false;
	}
}

std::shared_ptr<const cv::Mat> decodedStill(const std::string &path, std::string &error)
{
	long long width = 0;
	long long height = 0;
	if (claimedSize(path, width, height) && width * height > maximumPixels) {
		error = "its header claims a picture of " + std::to_string(width) + "x" +
			std::to_string(height) + " pixels, more than the " +
			std::to_string(maximumPixels / 1000000) + " megapixels edge-viewer takes";
		return nullptr;
	}
	cv::Mat decoded;
	std::string complaints;
	{
		CapturedStderr quiet;
		try {
			decoded = cv::imread(path, cv::IMREAD_COLOR);
		} catch (const cv::Exception &exception) {
			decoded.release();
			std::fprintf(stderr, "%s\n", exception.what());
		}
		complaints = quiet.text();
	}
	// libjpeg fills a cut-off picture with grey and only warns: that is still a broken file.
	const bool warned = complaints.find("Premature end") != std::string::npos ||
			    complaints.find("Corrupt") != std::string::npos;
	if (complaints.find("CV_IO_MAX_IMAGE") != std::string::npos) {
		error = "its header claims a picture too large to decode (over " +
			std::to_string(openCvMaximumPixels / 1000000) + " megapixels)";
		return nullptr;
	}
	if (decoded.empty() || warned) {
		const std::string detail = firstComplaint(complaints);
		error = "it is a truncated or corrupt image" +
			(detail.empty() ? std::string() : " (" + detail + ")");
		return nullptr;
	}
	// As the frame callback takes frames, and with the row step GStreamer gives RGB (a multiple
	// of 4 bytes): the capture hands the still on without a copy.
	const int rowBytes = (decoded.cols * 3 + 3) / 4 * 4;
	const cv::Mat rows(decoded.rows, rowBytes, CV_8UC1);
	auto still = std::make_shared<cv::Mat>(rows.colRange(0, decoded.cols * 3).reshape(3));
	cv::cvtColor(decoded, *still, cv::COLOR_BGR2RGB);
	cv::flip(*still, *still, 0);
	return still;
}

std::string imageSequenceSource(const std::string &pattern, std::string &error)
{
	std::string first;
	int start = 0;
	for (; start < sequenceStartsTried; ++start) {
		char name[4096];
		std::snprintf(name, sizeof name, pattern.c_str(), start);
		struct stat status {
		};
		if (stat(name, &status) == 0 && S_ISREG(status.st_mode)) {
			first = name;
			break;
		}
	}
	if (first.empty()) {
		error = "it is a numbered sequence with no image numbered 0 or 1";
		return {};
	}
	if (!isStillImage(first) || !decodedStill(first, error)) {
		if (error.empty())
			error = "its first image is not an image OpenCV decodes";
		error = "its first image \"" + first + "\": " + error;
		return {};
	}
	// multifilesrc stamps frames only when its caps name the type and rate, which then
	// choose the decoder too.
	const std::string extension = extensionOf(pattern);
	std::string caps;
	std::string decoder;
	if (extension == "png") {
		caps = "image/png,framerate=30/1";
		decoder = "pngdec";
	} else if (extension == "jpg" || extension == "jpeg") {
		caps = "image/jpeg,framerate=30/1";
		decoder = "jpegdec";
	} else {
		error = "a numbered sequence must be of PNG or JPEG images (.png, .jpg or .jpeg)";
		return {};
	}
	// clocksync paces the frames at their stamps, as for a video file.
	return "multifilesrc location=" + quoted(pattern) +
	       " start-index=" + std::to_string(start) + " loop=true caps=" + quoted(caps) + " ! " +
	       decoder + " ! videoconvert ! clocksync";
}
