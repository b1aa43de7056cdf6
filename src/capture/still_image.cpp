// Decoding a still image, or the first of a sequence, with OpenCV's image codecs, quietly.
#include "still_image.h"

#include <cstdio>
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
// before it allocates anything.
constexpr long long maximumPixels = 1LL << 30;

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
			std::to_string(maximumPixels / 1000000) + " megapixels)";
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
