// Decoding a still image, or the first of a sequence, with OpenCV's image codecs, quietly.
#include "still_image.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gst/gst.h>
#include <gst/tag/tag.h>
#include <gst/video/video.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "glib_handles.h"
#include "gst_handles.h"
#include "image_header.h"

namespace {

// OpenCV's own limit (OPENCV_IO_MAX_IMAGE_PIXELS unset), which it checks against the header
// before it allocates anything. It is read when OpenCV loads, too early for the viewer to lower.
constexpr long long openCvMaximumPixels = 1LL << 30;

// The viewer's own, checked first where the header is simple to read (PNG, JPEG, BMP): a picture
// takes about 10 bytes a pixel while it is shown (decoded, RGB, grey, edges, the window's copy),
// so a small file that claims a picture much larger, which OpenCV would still decode, cannot take
// the machine's memory. A 100-megapixel camera's photo stays well within it.
constexpr std::uint64_t maximumPixels = 200'000'000;

// The whole file at path, whose headers may run long (EXIF, XMP and colour profiles before a
// JPEG's frame header); false with the reason in error when it cannot be read.
bool fileBytes(const std::string &path, std::vector<unsigned char> &bytes, std::string &error)
{
	const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	struct stat status {
	};
	if (descriptor < 0 || fstat(descriptor, &status) != 0) {
		error = std::string("it cannot be read (") + std::strerror(errno) + ")";
		if (descriptor >= 0)
			close(descriptor);
		return false;
	}
	bytes.resize(static_cast<std::size_t>(status.st_size));
	std::size_t done = 0;
	while (done < bytes.size()) {
		const ssize_t count = read(descriptor, bytes.data() + done, bytes.size() - done);
		if (count < 0 && errno == EINTR)
			continue;
		if (count <= 0)
			break;
		done += static_cast<std::size_t>(count);
	}
	close(descriptor);
	// A file that shrank meanwhile is taken as it now is.
	bytes.resize(done);
	return true;
}

// The sequence's source and its flip, as its description names them for guardImageSequence().
constexpr char sequenceSourceName[] = "imagesequence";
constexpr char sequenceFlipName[] = "imageupright";

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

// Whether a file with this header may be decoded: a PNG, JPEG or BMP only once its size is known
// and within the cap. The reason in error otherwise.
bool checkedHeader(const ImageHeader &header, std::string &error)
{
	if (header.format == HeaderFormat::other)
		return true;
	if (!header.fault.empty()) {
		error = "it is a truncated or corrupt image (" + header.fault + ")";
		return false;
	}
	if (header.pixels() > maximumPixels) {
		error = "its header claims a picture of " + std::to_string(header.width) + "x" +
			std::to_string(header.height) + " pixels, more than the " +
			std::to_string(maximumPixels / 1000000) + " megapixels edge-viewer takes";
		return false;
	}
	return true;
}

// The first of the decoders' lines that says part of the picture is missing: its data ended early
// or could not be decoded (libjpeg's wording); empty when none does.
std::string damageReport(const std::string &complaints)
{
	static constexpr const char *damageWords[] = {
		"Premature end",       "premature end",	 "bad Huffman code",
		"bad arithmetic code", "instead of RST", "Inconsistent progression",
		"Invalid SOS",
	};
	std::size_t at = 0;
	while (at < complaints.size()) {
		const std::size_t end = std::min(complaints.find('\n', at), complaints.size());
		const std::string line = complaints.substr(at, end - at);
		for (const char *words : damageWords)
			if (line.find(words) != std::string::npos)
				return firstComplaint(line);
		at = end + 1;
	}
	return {};
}

// The turn that makes a picture with this EXIF data upright, as OpenCV turns a still: GStreamer's
// reading of the orientation tag, in videoflip's terms.
GstVideoOrientationMethod uprightTurn(std::span<const unsigned char> exif)
{
	const GstBufferPtr buffer(gst_buffer_new_wrapped_full(
		GST_MEMORY_FLAG_READONLY, const_cast<unsigned char *>(exif.data()), exif.size(), 0,
		exif.size(), nullptr, nullptr));
	const GstTagListPtr tags(gst_tag_list_from_exif_buffer_with_tiff_header(buffer.get()));
	if (!tags)
		return GST_VIDEO_ORIENTATION_IDENTITY;
	gchar *rawOrientation = nullptr;
	gst_tag_list_get_string(tags.get(), GST_TAG_IMAGE_ORIENTATION, &rawOrientation);
	const GCharPtr orientation(rawOrientation);
	static constexpr std::pair<const char *, GstVideoOrientationMethod> turns[] = {
		{ "rotate-90", GST_VIDEO_ORIENTATION_90R },
		{ "rotate-180", GST_VIDEO_ORIENTATION_180 },
		{ "rotate-270", GST_VIDEO_ORIENTATION_90L },
		{ "flip-rotate-0", GST_VIDEO_ORIENTATION_HORIZ },
		{ "flip-rotate-90", GST_VIDEO_ORIENTATION_UL_LR },
		{ "flip-rotate-180", GST_VIDEO_ORIENTATION_VERT },
		{ "flip-rotate-270", GST_VIDEO_ORIENTATION_UR_LL },
	};
	for (const auto &[name, turn] : turns)
		if (orientation && std::strcmp(orientation.get(), name) == 0)
			return turn;
	return GST_VIDEO_ORIENTATION_IDENTITY;
}

// On multifilesrc's streaming thread, before each file of a sequence reaches its decoder: a file
// is decoded only when its header is within the cap, as a still is, and turned upright as its
// EXIF data says. The decoder and the flip run on this same thread, so the turn set here is the
// one this file meets.
GstPadProbeReturn onSequenceImage(GstPad *pad, GstPadProbeInfo *info, gpointer flip)
{
	GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
	GstMapInfo map;
	if (!buffer || !gst_buffer_map(buffer, &map, GST_MAP_READ))
		return GST_PAD_PROBE_OK;
	const ImageHeader header = imageHeader({ map.data, map.size });
	std::string error;
	const bool fits = checkedHeader(header, error);
	const GstVideoOrientationMethod turn = fits && !header.exif.empty()
						       ? uprightTurn(header.exif)
						       : GST_VIDEO_ORIENTATION_IDENTITY;
	gst_buffer_unmap(buffer, &map);
	if (!fits) {
		const GstElementPtr source(gst_pad_get_parent_element(pad));
		GST_ELEMENT_ERROR(source.get(), STREAM, DECODE,
				  ("one of its images: %s", error.c_str()), (nullptr));
		return GST_PAD_PROBE_DROP;
	}
	int current = GST_VIDEO_ORIENTATION_IDENTITY;
	g_object_get(flip, "video-direction", &current, nullptr);
	if (current != turn)
		g_object_set(flip, "video-direction", turn, nullptr);
	return GST_PAD_PROBE_OK;
}

} // namespace

bool isImageSequence(const std::string &path)
{
	// Exactly one integer conversion (%d, with a width of up to two digits and an optional zero
	// flag) and no other, but for "%%": the pattern goes to printf, so anything else could read
	// arguments that are not there. A plain scan: a regular expression's matcher may recurse
	// once a character, and a long argument would overflow the stack.
	int conversions = 0;
	for (std::size_t at = 0; at < path.size(); ++at) {
		if (path[at] != '%')
			continue;
		++at;
		if (at < path.size() && path[at] == '%')
			continue;
		if (at < path.size() && path[at] == '0')
			++at;
		for (int digits = 0; digits < 2 && at < path.size() &&
				     std::isdigit(static_cast<unsigned char>(path[at]));
		     ++digits)
			++at;
		if (at >= path.size() || path[at] != 'd')
			return false;
		++conversions;
	}
	return conversions == 1;
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
	std::vector<unsigned char> bytes;
	if (!fileBytes(path, bytes, error))
		return nullptr;
	if (!checkedHeader(imageHeader(bytes), error))
		return nullptr;
	cv::Mat decoded;
	std::string complaints;
	{
		CapturedStderr quiet;
		try {
			// From the file, not the bytes read: OpenCV's JPEG reader from memory ends
			// a cut-off file without libjpeg's "Premature end" warning, the only sign
			// of it.
			decoded = cv::imread(path, cv::IMREAD_COLOR);
		} catch (const cv::Exception &exception) {
			decoded.release();
			std::fprintf(stderr, "%s\n", exception.what());
		}
		complaints = quiet.text();
	}
	if (complaints.find("CV_IO_MAX_IMAGE") != std::string::npos) {
		error = "its header claims a picture too large to decode (over " +
			std::to_string(openCvMaximumPixels / 1000000) + " megapixels)";
		return nullptr;
	}
	// libjpeg fills a cut-off or undecodable part with grey and only warns: that is still a
	// broken file. Its other warnings (bytes skipped between segments, an unknown JFIF version,
	// a bad colour profile left unused) leave the picture whole.
	const std::string damage = damageReport(complaints);
	if (decoded.empty() || !damage.empty()) {
		const std::string detail = damage.empty() ? firstComplaint(complaints) : damage;
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
	return "multifilesrc name=" + std::string(sequenceSourceName) +
	       " location=" + quoted(pattern) + " start-index=" + std::to_string(start) +
	       " loop=true caps=" + quoted(caps) + " ! " + decoder +
	       " ! videoflip name=" + sequenceFlipName + " ! videoconvert ! clocksync";
}

void guardImageSequence(GstElement *pipeline)
{
	if (!GST_IS_BIN(pipeline))
		return;
	const GstElementPtr source(gst_bin_get_by_name(GST_BIN(pipeline), sequenceSourceName));
	GstElement *flip = gst_bin_get_by_name(GST_BIN(pipeline), sequenceFlipName);
	if (!source || !flip) {
		if (flip)
			gst_object_unref(flip);
		return;
	}
	const GstObjectPtr<GstPad> pad(gst_element_get_static_pad(source.get(), "src"));
	// The probe holds the flip's reference until the pad goes.
	gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, &onSequenceImage, flip,
			  &gst_object_unref);
}
