// Still images as sources: which names are sequences, how a still is decoded, and a still that is
// handed to the callback once at start, again on each request and never while nothing asks.
#include "capture/still_image.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include "capture/capture_pipeline.h"
#include "capture/capture_source.h"
#include "wait_until.h"

using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

struct SequenceCase {
	const char *path;
	bool sequence;
};

// The path in letters and digits, for the test's name.
std::string caseName(const testing::TestParamInfo<SequenceCase> &info)
{
	std::string name = std::to_string(info.index) + "_";
	for (const char *c = info.param.path; *c; ++c)
		name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
	return name;
}

class SequenceNames : public testing::TestWithParam<SequenceCase>
{
};

// Catches a name with another printf conversion taken as a sequence, where multifilesrc's printf
// would read arguments that are not there, and a plain name with a per cent sign refused.
TEST_P(SequenceNames, OnlyOneIntegerConversionMakesASequence)
{
	EXPECT_EQ(isImageSequence(GetParam().path), GetParam().sequence) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
	Names, SequenceNames,
	testing::Values(SequenceCase{ "shots/%04d.png", true }, SequenceCase{ "%d.jpg", true },
			SequenceCase{ "100%%/%03d.png", true }, SequenceCase{ "photo.png", false },
			SequenceCase{ "100%.png", false }, SequenceCase{ "%s%04d.png", false },
			SequenceCase{ "%04d-%04d.png", false }, SequenceCase{ "%n.png", false },
			SequenceCase{ "%999999d.png", false }, SequenceCase{ "%004d.png", true },
			SequenceCase{ "%d", true }, SequenceCase{ "%", false },
			SequenceCase{ "%0", false }, SequenceCase{ "%%d.png", false }),
	caseName);

// Catches a matcher that recurses once a character (std::regex's did, and a 20,000-character
// --source then overflowed the stack): a name of a million characters is judged, both ways.
TEST(SequenceName, OfAnyLengthIsJudgedWithoutOverflow)
{
	const std::string longName(1'000'000, 'a');
	EXPECT_TRUE(isImageSequence(longName + "/%04d.png"));
	EXPECT_FALSE(isImageSequence(longName + "/%s.png"));
}

// A picture whose top half is red and bottom half blue, 33 pixels wide: RGB's row step is then
// padded to a multiple of 4 bytes.
class Still : public testing::Test
{
protected:
	static void SetUpTestSuite()
	{
		char pattern[] = "/tmp/still_image_XXXXXX";
		ASSERT_TRUE(mkdtemp(pattern));
		dir = pattern;
		cv::Mat picture(20, 33, CV_8UC3, cv::Scalar(255, 0, 0)); // BGR: blue
		picture.rowRange(0, 10).setTo(cv::Scalar(0, 0, 255));	 // red on top
		ASSERT_TRUE(cv::imwrite((dir / "halves.png").string(), picture));
	}
	static void TearDownTestSuite() { fs::remove_all(dir); }

	static fs::path dir;
};

fs::path Still::dir;

// Catches a still handed on upside down or in BGR (the callback takes RGB, bottom row first), and
// rows packed tighter than GStreamer's RGB caps say, which would skew every row after the first.
TEST_F(Still, IsDecodedAsTheCallbackTakesFrames)
{
	std::string error;
	const auto still = decodedStill((dir / "halves.png").string(), error);
	ASSERT_TRUE(still) << error;
	EXPECT_EQ(still->size(), cv::Size(33, 20));
	EXPECT_EQ(still->type(), CV_8UC3);
	EXPECT_EQ(still->step[0] % 4, 0u);
	EXPECT_EQ(still->at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 255)); // first row: the bottom, blue
	EXPECT_EQ(still->at<cv::Vec3b>(19, 32), cv::Vec3b(255, 0, 0)); // last row: the top, red
}

std::atomic<int> framesSeen{ 0 }; // written by the streaming thread, read by the test
std::mutex seenLock;		  // guards firstPixel
cv::Vec3b firstPixel;

void noteFrame(const cv::Mat &frame)
{
	{
		std::lock_guard guard(seenLock);
		firstPixel = frame.at<cv::Vec3b>(0, 0);
	}
	++framesSeen;
}

testing::AssertionResult waitForFrames(int count)
{
	return waitUntil([count] { return framesSeen >= count; },
			 std::to_string(count) + " frames in all");
}

// Catches a still that is processed again and again while nothing moves, one that is never shown
// again when asked (a slider's move would not show), and its silence taken for a stalled camera.
TEST_F(Still, IsHandedOnAtStartAndOnEachRequestOnly)
{
	CameraInfo camera;
	std::string error;
	ASSERT_TRUE(checkedSourceCamera("halves.png", (dir / "halves.png").string(), camera, error))
		<< error;
	ASSERT_TRUE(camera.still);
	std::atomic<int> faults{ 0 };
	CaptureOptions options;
	options.stallTimeout = 100ms;
	options.onFault = [&](const std::string &) {
		++faults;
	};
	framesSeen = 0;
	auto capture = CapturePipeline::create(camera, &noteFrame, error, std::move(options));
	ASSERT_TRUE(capture) << error;
	ASSERT_TRUE(capture->start(error)) << error;
	ASSERT_TRUE(waitForFrames(1));
	std::this_thread::sleep_for(500ms);
	EXPECT_EQ(framesSeen, 1) << "frames while nothing asked";
	for (int request = 2; request <= 4; ++request) {
		capture->redeliver();
		ASSERT_TRUE(waitForFrames(request)) << "request " << request - 1;
	}
	std::this_thread::sleep_for(200ms);
	capture->stop();
	EXPECT_EQ(framesSeen, 4);
	EXPECT_EQ(faults, 0);
	std::lock_guard guard(seenLock);
	EXPECT_EQ(firstPixel, cv::Vec3b(0, 0, 255));
}

using Bytes = std::vector<unsigned char>;

Bytes encoded(const cv::Mat &picture, const std::string &extension,
	      const std::vector<int> &parameters = {})
{
	Bytes bytes;
	EXPECT_TRUE(cv::imencode(extension, picture, bytes, parameters));
	return bytes;
}

void writeFile(const fs::path &path, const Bytes &bytes)
{
	std::ofstream(path, std::ios::binary)
		.write(reinterpret_cast<const char *>(bytes.data()),
		       static_cast<std::streamsize>(bytes.size()));
}

Bytes readFile(const fs::path &path)
{
	std::ifstream in(path, std::ios::binary);
	return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Where marker (0xFF and this byte) first comes after the start of image.
std::size_t markerAt(const Bytes &jpeg, unsigned char marker)
{
	for (std::size_t at = 2; at + 1 < jpeg.size(); ++at)
		if (jpeg[at] == 0xFF && jpeg[at + 1] == marker)
			return at;
	ADD_FAILURE() << "no marker 0x" << std::hex << int{ marker };
	return 2;
}

Bytes inserted(Bytes bytes, std::size_t at, const Bytes &extra)
{
	bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), extra.begin(), extra.end());
	return bytes;
}

// The frame header's size fields rewritten.
Bytes withJpegSize(Bytes jpeg, unsigned width, unsigned height)
{
	const std::size_t at = markerAt(jpeg, 0xC0);
	jpeg[at + 5] = static_cast<unsigned char>(height >> 8);
	jpeg[at + 6] = static_cast<unsigned char>(height);
	jpeg[at + 7] = static_cast<unsigned char>(width >> 8);
	jpeg[at + 8] = static_cast<unsigned char>(width);
	return jpeg;
}

void putLittle(Bytes &bytes, std::size_t at, std::uint32_t value, int count)
{
	for (int i = 0; i < count; ++i)
		bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// A BMP of picture (BGR) with a 12-byte OS/2 header: 16-bit sizes, a 3-byte palette entry.
Bytes os2Bmp(const cv::Mat &picture)
{
	const std::size_t rowBytes = (picture.cols * 3 + 3) / 4 * 4;
	Bytes bmp(26 + rowBytes * picture.rows);
	bmp[0] = 'B';
	bmp[1] = 'M';
	putLittle(bmp, 2, static_cast<std::uint32_t>(bmp.size()), 4);
	putLittle(bmp, 10, 26, 4);
	putLittle(bmp, 14, 12, 4);
	putLittle(bmp, 18, picture.cols, 2);
	putLittle(bmp, 20, picture.rows, 2);
	putLittle(bmp, 22, 1, 2);
	putLittle(bmp, 24, 24, 2);
	for (int row = 0; row < picture.rows; ++row)
		std::memcpy(bmp.data() + 26 + rowBytes * (picture.rows - 1 - row), picture.ptr(row),
			    picture.cols * 3);
	return bmp;
}

// OpenCV's BMP with its rows stored top first, as a negative height says.
Bytes topDownBmp(const cv::Mat &picture)
{
	cv::Mat flipped;
	cv::flip(picture, flipped, 0);
	Bytes bmp = encoded(flipped, ".bmp");
	putLittle(bmp, 22, static_cast<std::uint32_t>(-picture.rows), 4);
	return bmp;
}

// A JPEG of picture whose EXIF data gives this orientation; 6 (to be turned 90 degrees clockwise)
// is how a phone held upright writes it.
Bytes turnedJpeg(const cv::Mat &picture, unsigned char orientation = 6)
{
	const Bytes exif = { 0xFF, 0xE1, 0, 34, 'E',	     'x', 'i', 'f', 0,	  0, 'I', 'I',
			     42,   0,	 8, 0,	0,	     0,	  1,   0,   0x12, 1, 3,	  0,
			     1,	   0,	 0, 0,	orientation, 0,	  0,   0,   0,	  0, 0,	  0 };
	return inserted(encoded(picture, ".jpg", { cv::IMWRITE_JPEG_QUALITY, 95 }), 2, exif);
}

// A header walk and its decoder together: 160x120, black, a white block at 20,15 to 70,45. Its
// edges are where the block's bounding box is, so a variant decoded whole and the right way up
// gives that box.
class Variants : public testing::Test
{
protected:
	static void SetUpTestSuite()
	{
		char pattern[] = "/tmp/still_variants_XXXXXX";
		ASSERT_TRUE(mkdtemp(pattern));
		dir = pattern;
		scene = cv::Mat(120, 160, CV_8UC3, cv::Scalar::all(0));
		cv::rectangle(scene, cv::Point(20, 15), cv::Point(70, 45), cv::Scalar::all(255),
			      cv::FILLED);
	}
	static void TearDownTestSuite() { fs::remove_all(dir); }

	// The bright part's box in a still as decodedStill gives it, with the top row first.
	static cv::Rect brightBox(const cv::Mat &still)
	{
		cv::Mat upright;
		cv::flip(still, upright, 0);
		cv::Mat grey;
		cv::cvtColor(upright, grey, cv::COLOR_RGB2GRAY);
		return cv::boundingRect(grey > 128);
	}

	static fs::path dir;
	static cv::Mat scene;
};

fs::path Variants::dir;
cv::Mat Variants::scene;

struct Variant {
	const char *name;
	Bytes (*make)(const cv::Mat &scene, const fs::path &dir);
};

void PrintTo(const Variant &variant, std::ostream *out)
{
	*out << variant.name;
}

// ImageMagick's version of the scene, for what OpenCV cannot write: arguments, then the output
// file name (in dir) with ImageMagick's format prefix.
Bytes converted(const cv::Mat &scene, const fs::path &dir, const std::string &arguments,
		const std::string &prefix, const std::string &name)
{
	const fs::path from = dir / "scene.png";
	cv::imwrite(from.string(), scene);
	const std::string command = "convert '" + from.string() + "' " + arguments + " '" + prefix +
				    (dir / name).string() + "'";
	EXPECT_EQ(std::system(command.c_str()), 0) << command;
	return readFile(dir / name);
}

const Variant variants[] = {
	{ "Jpeg",
	  [](const cv::Mat &scene, const fs::path &) {
		  return encoded(scene, ".jpg");
	  } },
	// "Corrupt JPEG data: 2 extraneous bytes before marker 0xda", a warning for a whole
	// picture.
	{ "JpegPaddedBeforeScan",
	  [](const cv::Mat &scene, const fs::path &) {
		  const Bytes jpeg = encoded(scene, ".jpg");
		  return inserted(jpeg, markerAt(jpeg, 0xDA), { 0, 0 });
	  } },
	{ "JpegPaddedBeforeTable",
	  [](const cv::Mat &scene, const fs::path &) {
		  const Bytes jpeg = encoded(scene, ".jpg");
		  return inserted(jpeg, markerAt(jpeg, 0xC4), { 0, 0, 0 });
	  } },
	{ "JpegFillBytes",
	  [](const cv::Mat &scene, const fs::path &) {
		  const Bytes jpeg = encoded(scene, ".jpg");
		  return inserted(jpeg, markerAt(jpeg, 0xC0), { 0xFF, 0xFF, 0xFF });
	  } },
	{ "JpegProgressive",
	  [](const cv::Mat &scene, const fs::path &) {
		  return encoded(scene, ".jpg", { cv::IMWRITE_JPEG_PROGRESSIVE, 1 });
	  } },
	{ "JpegRestartMarkers",
	  [](const cv::Mat &scene, const fs::path &) {
		  return encoded(scene, ".jpg", { cv::IMWRITE_JPEG_RST_INTERVAL, 1 });
	  } },
	{ "JpegCmyk",
	  [](const cv::Mat &scene, const fs::path &dir) {
		  return converted(scene, dir, "-colorspace CMYK", "JPEG:", "cmyk.jpg");
	  } },
	{ "Png16Bit",
	  [](const cv::Mat &scene, const fs::path &) {
		  cv::Mat deep;
		  scene.convertTo(deep, CV_16UC3, 257);
		  return encoded(deep, ".png");
	  } },
	{ "PngPalette",
	  [](const cv::Mat &scene, const fs::path &dir) {
		  return converted(scene, dir, "", "PNG8:", "palette.png");
	  } },
	{ "BmpOs2",
	  [](const cv::Mat &scene, const fs::path &) {
		  return os2Bmp(scene);
	  } },
	{ "BmpTopDown",
	  [](const cv::Mat &scene, const fs::path &) {
		  return topDownBmp(scene);
	  } },
};

class VariantFile : public Variants, public testing::WithParamInterface<Variant>
{
};

} // namespace

// Catches an intact file refused (a libjpeg warning taken for damage, OS/2's 16-bit sizes read as
// 32-bit ones) and one decoded in part, upside down or off its place.
TEST_P(VariantFile, OpensWithItsShapeWhereItWasDrawn)
{
	const fs::path path = dir / (std::string(GetParam().name) + ".img");
	writeFile(path, GetParam().make(scene, dir));
	std::string error;
	const auto still = decodedStill(path.string(), error);
	ASSERT_TRUE(still) << error;
	EXPECT_EQ(still->size(), scene.size());
	const cv::Rect box = brightBox(*still);
	EXPECT_LE(std::abs(box.x - 20) + std::abs(box.y - 15), 2) << box;
	EXPECT_LE(std::abs(box.width - 51) + std::abs(box.height - 31), 2) << box;
}

INSTANTIATE_TEST_SUITE_P(RealWorld, VariantFile, testing::ValuesIn(variants),
			 [](const testing::TestParamInfo<Variant> &param) {
				 return std::string(param.param.name);
			 });

namespace {

struct Crafted {
	const char *name;
	Bytes (*make)(const cv::Mat &scene);
	const char *reason; // what the one line says after the file's name
};

void PrintTo(const Crafted &crafted, std::ostream *out)
{
	*out << crafted.name;
}

Bytes pngHeader(std::uint32_t width, std::uint32_t height)
{
	Bytes png = {
		0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'
	};
	for (const std::uint32_t side : { width, height })
		for (int shift = 24; shift >= 0; shift -= 8)
			png.push_back(static_cast<unsigned char>(side >> shift));
	const Bytes rest = {
		8, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'I', 'E', 'N', 'D', 0, 0, 0, 0
	};
	png.insert(png.end(), rest.begin(), rest.end());
	return png;
}

Bytes bmpHeader(std::uint32_t headerBytes, std::uint32_t width, std::uint32_t height)
{
	Bytes bmp(14 + 40 + 64, 0);
	bmp[0] = 'B';
	bmp[1] = 'M';
	putLittle(bmp, 10, 54, 4);
	putLittle(bmp, 14, headerBytes, 4);
	if (headerBytes == 12) {
		putLittle(bmp, 18, width, 2);
		putLittle(bmp, 20, height, 2);
		putLittle(bmp, 22, 1, 2);
		putLittle(bmp, 24, 24, 2);
	} else {
		putLittle(bmp, 18, width, 4);
		putLittle(bmp, 22, height, 4);
		putLittle(bmp, 26, 1, 2);
		putLittle(bmp, 28, 24, 2);
	}
	return bmp;
}

Bytes jpegOf(const cv::Mat &scene)
{
	return encoded(scene, ".jpg");
}

const Crafted craftedHeaders[] = {
	// libjpeg skips the stray byte and finds the frame header; so must the walk.
	{ "JpegJunkBeforeFrameHeader",
	  [](const cv::Mat &scene) {
		  const Bytes jpeg = withJpegSize(jpegOf(scene), 32768, 32768);
		  return inserted(jpeg, markerAt(jpeg, 0xC0), { 0 });
	  },
	  "its header claims a picture of 32768x32768 pixels" },
	// A Huffman table whose bytes read as a small frame header, before the real one.
	{ "JpegTableWhereFrameHeaderWouldBe",
	  [](const cv::Mat &scene) {
		  const Bytes jpeg = withJpegSize(jpegOf(scene), 30000, 30000);
		  return inserted(jpeg, markerAt(jpeg, 0xC0),
				  { 0xFF, 0xC4, 0, 19, 0, 0, 16, 0, 16, 1, 0,
				    0,	  0,	0, 0,  0, 0, 0,	 0, 0,	0, 0 });
	  },
	  "its header claims a picture of 30000x30000 pixels" },
	{ "JpegLargestSize",
	  [](const cv::Mat &scene) { return withJpegSize(jpegOf(scene), 65535, 65535); },
	  "its header claims a picture of 65535x65535 pixels" },
	{ "JpegNoHeight", [](const cv::Mat &scene) { return withJpegSize(jpegOf(scene), 160, 0); },
	  "it is a truncated or corrupt image (its frame header gives no size)" },
	{ "JpegCutInFrameHeader",
	  [](const cv::Mat &scene) {
		  const Bytes jpeg = jpegOf(scene);
		  return Bytes(jpeg.begin(), jpeg.begin() + markerAt(jpeg, 0xC0) + 6);
	  },
	  "it is a truncated or corrupt image (its frame header is cut off)" },
	{ "PngOver200Megapixels", [](const cv::Mat &) { return pngHeader(100000, 100000); },
	  "its header claims a picture of 100000x100000 pixels" },
	{ "PngLargestSize", [](const cv::Mat &) { return pngHeader(0x7FFFFFFF, 0x7FFFFFFF); },
	  "its header claims a picture of 2147483647x2147483647 pixels" },
	// The product overflows 64-bit signed arithmetic.
	{ "PngSizesOutOfRange", [](const cv::Mat &) { return pngHeader(0xFFFFFFFF, 0xFFFFFFFF); },
	  "it is a truncated or corrupt image (its header gives an impossible size)" },
	{ "PngNoWidth", [](const cv::Mat &) { return pngHeader(0, 10); },
	  "it is a truncated or corrupt image (its header gives an impossible size)" },
	{ "PngCutInHeader",
	  [](const cv::Mat &) {
		  const Bytes png = pngHeader(10, 10);
		  return Bytes(png.begin(), png.begin() + 20);
	  },
	  "it is a truncated or corrupt image (its header is cut off or missing)" },
	// Negative: stored top row first; its size is the height's magnitude.
	{ "BmpNegativeHeight",
	  [](const cv::Mat &) { return bmpHeader(40, 20000, static_cast<std::uint32_t>(-20000)); },
	  "its header claims a picture of 20000x20000 pixels" },
	{ "BmpLowestHeight", [](const cv::Mat &) { return bmpHeader(40, 10, 0x80000000); },
	  "it is a truncated or corrupt image (its header gives an impossible size)" },
	{ "BmpLargestSize", [](const cv::Mat &) { return bmpHeader(40, 0x7FFFFFFF, 0x7FFFFFFF); },
	  "its header claims a picture of 2147483647x2147483647 pixels" },
	{ "BmpOs2LargestSize", [](const cv::Mat &) { return bmpHeader(12, 65535, 65535); },
	  "its header claims a picture of 65535x65535 pixels" },
	{ "BmpCutInHeader",
	  [](const cv::Mat &) {
		  const Bytes bmp = bmpHeader(40, 10, 10);
		  return Bytes(bmp.begin(), bmp.begin() + 20);
	  },
	  "it is a truncated or corrupt image (its header is cut off)" },
};

class CraftedFile : public Variants, public testing::WithParamInterface<Crafted>
{
};

// The process's address space (field 0) or resident set (field 1) now, in kB.
long statmKilobytes(int field)
{
	std::ifstream statm("/proc/self/statm");
	long pages[2] = {};
	statm >> pages[0] >> pages[1];
	return pages[field] * (sysconf(_SC_PAGESIZE) / 1024);
}

} // namespace

// Catches a header walk that parts ways with its decoder (a stray byte before the frame header,
// a table taken for it), sizes that overflow or a negative height taken as it stands: each lets
// a decoder allocate gigabytes. The file is judged in a child process whose peak resident memory
// is its parent's plus 64 MB at most, and the refusal is one line.
TEST_P(CraftedFile, IsRefusedBeforeAnythingLargeIsAllocated)
{
	const fs::path path = dir / (std::string(GetParam().name) + ".img");
	writeFile(path, GetParam().make(scene));
	int pipeEnds[2];
	ASSERT_EQ(pipe(pipeEnds), 0);
	const long before = statmKilobytes(1);
	[[maybe_unused]] const long addressSpace = statmKilobytes(0);
	const pid_t child = fork();
	ASSERT_GE(child, 0);
	if (child == 0) {
		close(pipeEnds[0]);
		alarm(60);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
		// Should the check fail, the decoder's gigabytes fail to allocate instead of taking
		// the machine's memory (the sanitizers' shadow memory needs the address space).
		const rlim_t room = static_cast<rlim_t>(addressSpace + 1024 * 1024) * 1024;
		const rlimit limit{ room, room };
		setrlimit(RLIMIT_AS, &limit);
#endif
		std::string error;
		const bool decoded = decodedStill(path.string(), error) != nullptr;
		const std::string said = decoded ? std::string("decoded") : error;
		const ssize_t written = write(pipeEnds[1], said.data(), said.size());
		_exit(written == static_cast<ssize_t>(said.size()) ? 0 : 1);
	}
	close(pipeEnds[1]);
	std::string said;
	char chunk[256];
	for (ssize_t count; (count = read(pipeEnds[0], chunk, sizeof chunk)) > 0;)
		said.append(chunk, static_cast<std::size_t>(count));
	close(pipeEnds[0]);
	int status = 0;
	rusage usage{};
	ASSERT_EQ(wait4(child, &status, 0, &usage), child);
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
	EXPECT_EQ(said.rfind(GetParam().reason, 0), 0u) << said;
	EXPECT_EQ(said.find('\n'), std::string::npos) << said;
	EXPECT_LT(usage.ru_maxrss, before + 64 * 1024) << "kB at peak; " << before << " kB before";
}

INSTANTIATE_TEST_SUITE_P(Headers, CraftedFile, testing::ValuesIn(craftedHeaders),
			 [](const testing::TestParamInfo<Crafted> &param) {
				 return std::string(param.param.name);
			 });

// Catches a photo decoded without its EXIF orientation: a phone's portrait photo, stored on its
// side, shows upright.
TEST_F(Variants, PortraitPhotoShowsUpright)
{
	const fs::path path = dir / "portrait.jpg";
	writeFile(path, turnedJpeg(scene));
	std::string error;
	const auto still = decodedStill(path.string(), error);
	ASSERT_TRUE(still) << error;
	ASSERT_EQ(still->size(), cv::Size(120, 160));
	// Turned clockwise, the block's top left corner 20,15 goes to 120-1-45, 20.
	const cv::Rect box = brightBox(*still);
	EXPECT_LE(std::abs(box.x - 74) + std::abs(box.y - 20), 2) << box;
}

namespace {

std::mutex sequenceLock; // guards the three below
cv::Mat sequenceFrame;	 // written by the streaming thread, read by the test
int sequenceFrames = 0;
std::vector<cv::Mat> keptFrames; // the first frames, as sequenceFrame

constexpr std::size_t framesKept = 48;

void keepFrame(const cv::Mat &frame)
{
	std::lock_guard guard(sequenceLock);
	sequenceFrame = frame.clone();
	if (keptFrames.size() < framesKept)
		keptFrames.push_back(sequenceFrame);
	++sequenceFrames;
}

// jpegdec and OpenCV's libjpeg may round chroma apart; a turn the wrong way moves the block by
// dozens of pixels.
bool samePicture(const cv::Mat &frame, const cv::Mat &still)
{
	return frame.size() == still.size() &&
	       cv::norm(frame, still, cv::NORM_L1) / static_cast<double>(still.total()) < 6.0;
}

} // namespace

// Catches a sequence played as its files are stored, each one sideways where the same file alone
// shows upright, and a later file of the sequence decoded without the size check: three portrait
// photos play upright and like the still, then a fourth that claims 30000x30000 is a fault, not a
// picture.
TEST_F(Variants, SequencePlaysUprightAndEachFileIsChecked)
{
	const fs::path sequence = dir / "sequence";
	fs::create_directories(sequence);
	for (const char *name : { "0001.jpg", "0002.jpg", "0003.jpg" })
		writeFile(sequence / name, turnedJpeg(scene));
	std::string error;
	const auto still = decodedStill((sequence / "0001.jpg").string(), error);
	ASSERT_TRUE(still) << error;
	CameraInfo camera;
	ASSERT_TRUE(
		checkedSourceCamera("sequence", (sequence / "%04d.jpg").string(), camera, error))
		<< error;
	std::atomic<int> faults{ 0 };
	std::mutex faultLock;
	std::string fault;
	CaptureOptions options;
	options.onFault = [&](const std::string &line) {
		std::lock_guard guard(faultLock);
		fault = line;
		++faults;
	};
	sequenceFrames = 0;
	auto capture = CapturePipeline::create(camera, &keepFrame, error, std::move(options));
	ASSERT_TRUE(capture) << error;
	ASSERT_TRUE(capture->start(error)) << error;
	ASSERT_TRUE(waitUntil(
		[] {
			std::lock_guard guard(sequenceLock);
			return sequenceFrames >= 4;
		},
		"4 frames"));
	{
		std::lock_guard guard(sequenceLock);
		ASSERT_EQ(sequenceFrame.size(), still->size());
		EXPECT_TRUE(samePicture(sequenceFrame, *still));
	}
	writeFile(sequence / "0004.jpg", withJpegSize(jpegOf(scene), 30000, 30000));
	EXPECT_TRUE(waitUntil([&] { return faults > 0; }, "a fault for the fourth file"));
	capture->stop();
	std::lock_guard guard(faultLock);
	EXPECT_NE(fault.find("30000x30000"), std::string::npos) << fault;
}

// Catches an EXIF orientation read apart from OpenCV's (each of the eight, the mirrored ones
// too) and a turn that sticks from one file to the next: a sequence of the eight loops, and
// every frame is one of the eight stills, each of them seen.
TEST_F(Variants, SequenceTurnsEachFileAsItsOwnOrientationSays)
{
	const fs::path sequence = dir / "orientations";
	fs::create_directories(sequence);
	std::vector<std::shared_ptr<const cv::Mat>> stills;
	for (unsigned char orientation = 1; orientation <= 8; ++orientation) {
		char name[16];
		std::snprintf(name, sizeof name, "%04d.jpg", int{ orientation });
		writeFile(sequence / name, turnedJpeg(scene, orientation));
		std::string error;
		stills.push_back(decodedStill((sequence / name).string(), error));
		ASSERT_TRUE(stills.back()) << error;
	}
	CameraInfo camera;
	std::string error;
	ASSERT_TRUE(
		checkedSourceCamera("sequence", (sequence / "%04d.jpg").string(), camera, error))
		<< error;
	{
		std::lock_guard guard(sequenceLock);
		keptFrames.clear();
	}
	auto capture = CapturePipeline::create(camera, &keepFrame, error, CaptureOptions{});
	ASSERT_TRUE(capture) << error;
	ASSERT_TRUE(capture->start(error)) << error;
	ASSERT_TRUE(waitUntil(
		[] {
			std::lock_guard guard(sequenceLock);
			return keptFrames.size() >= framesKept;
		},
		std::to_string(framesKept) + " frames"));
	capture->stop();
	std::vector<bool> seen(stills.size());
	std::lock_guard guard(sequenceLock);
	for (std::size_t frame = 0; frame < keptFrames.size(); ++frame) {
		bool known = false;
		for (std::size_t still = 0; still < stills.size(); ++still)
			if (samePicture(keptFrames[frame], *stills[still]))
				known = seen[still] = true;
		EXPECT_TRUE(known) << "frame " << frame << " is none of the stills";
	}
	for (std::size_t still = 0; still < stills.size(); ++still)
		EXPECT_TRUE(seen[still]) << "orientation " << still + 1 << " never shown";
}
