// The command line's camera and format found among what is there, before any question or window.
#include "capture_preset.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <numeric>
#include <sstream>
#include <tuple>

#include "camera_choice.h"
#include "capture_source.h"
#include "user_message.h"

namespace {

// Rates closer than this are the same rate: 29.97 names 30000/1001.
constexpr double rateTolerance = 0.01;
// How many offered formats a refusal names.
constexpr std::size_t nearestShown = 3;

std::string lowercase(std::string text)
{
	for (char &c : text)
		c = static_cast<char>(g_ascii_tolower(c));
	return text;
}

double rateValue(FrameRate rate)
{
	return rate.denominator == 0 ? 0.0 : double(rate.numerator) / rate.denominator;
}

std::string cameraList(const std::vector<CameraInfo> &cameras, const std::vector<int> &indices)
{
	std::string text;
	for (const int index : indices) {
		const CameraInfo &camera = cameras[static_cast<std::size_t>(index)];
		text += (text.empty() ? "" : ", ") + std::to_string(index) + " \"" + camera.name +
			"\"" + (camera.devicePath.empty() ? "" : " (" + camera.devicePath + ")");
	}
	return text;
}

std::string allCameras(const std::vector<CameraInfo> &cameras)
{
	if (cameras.empty())
		return "there is none";
	std::vector<int> indices(cameras.size());
	std::iota(indices.begin(), indices.end(), 0);
	return (cameras.size() == 1 ? "the only camera is " : "the cameras are ") +
	       cameraList(cameras, indices);
}

std::string realPath(const std::string &path)
{
	char *resolved = realpath(path.c_str(), nullptr);
	if (!resolved)
		return {};
	std::string text = resolved;
	std::free(resolved);
	return text;
}

// The names a camera's pixel format goes by: V4L2 says YUYV and MJPEG where GStreamer says YUY2 and
// MJPG.
std::string canonicalPixelFormat(const std::string &name)
{
	std::string upper = name;
	for (char &c : upper)
		c = static_cast<char>(g_ascii_toupper(c));
	if (upper == "YUYV")
		return "YUY2";
	if (upper == "MJPEG" || upper == "JPEG")
		return "MJPG";
	return upper;
}

bool pixelFormatMatches(const VideoFormat &format, const std::string &requested)
{
	if (requested.empty())
		return true;
	const std::string wanted = canonicalPixelFormat(requested);
	// A camera that offers raw video in any pixel format takes the one asked for.
	if (format.pixelFormat.empty())
		return wanted != "MJPG";
	return canonicalPixelFormat(format.pixelFormat) == wanted;
}

FrameRate fractionOf(double rate)
{
	if (rate == std::floor(rate))
		return { static_cast<int>(rate), 1 };
	const int numerator = static_cast<int>(std::lround(rate * 1000));
	const int divisor = std::gcd(numerator, 1000);
	return { numerator / divisor, 1000 / divisor };
}

// The rate of format that request takes; false when format does not offer the rate asked for.
bool rateFor(const VideoFormat &format, const CvcamFormatRequest &request, FrameRate &rate)
{
	if (format.rates.empty()) {
		rate = request.rate > 0 ? fractionOf(request.rate) : FrameRate{ 0, 1 };
		return true;
	}
	if (request.rate <= 0) {
		rate = format.rates.front(); // fastest first
		return true;
	}
	for (const FrameRate &offered : format.rates) {
		if (std::abs(rateValue(offered) - request.rate) < rateTolerance) {
			rate = offered;
			return true;
		}
	}
	return false;
}

std::string nearestFormats(const std::vector<VideoFormat> &formats,
			   const CvcamFormatRequest &request)
{
	const long wantedArea = long(request.width) * request.height;
	using Rank = std::tuple<long, long, bool, double>;
	std::vector<std::pair<Rank, std::string>> offered;
	for (const VideoFormat &format : formats) {
		const Rank base{ std::labs(long(format.width) * format.height - wantedArea),
				 std::labs(long(format.width) - request.width),
				 !pixelFormatMatches(format, request.pixelFormat), 0.0 };
		if (format.rates.empty())
			offered.emplace_back(base, formatName(format, { 0, 1 }));
		for (const FrameRate &rate : format.rates) {
			Rank rank = base;
			// Without a rate asked for, the fastest comes first, as it would be taken.
			std::get<3>(rank) = request.rate > 0
						    ? std::abs(rateValue(rate) - request.rate)
						    : -rateValue(rate);
			offered.emplace_back(rank, formatName(format, rate));
		}
	}
	std::stable_sort(offered.begin(), offered.end(),
			 [](const auto &a, const auto &b) { return a.first < b.first; });
	std::string text;
	for (std::size_t i = 0; i < offered.size() && i < nearestShown; ++i)
		text += (i ? ", " : "") + offered[i].second;
	return text;
}

// The name a source goes by in its window and its fault lines: a file's own name, or the URI.
std::string sourceName(const std::string &source)
{
	if (source.find("://") != std::string::npos)
		return source;
	const GCharPtr name(g_path_get_basename(source.c_str()));
	return name.get();
}

} // namespace

std::string formatName(const VideoFormat &format, FrameRate rate)
{
	std::ostringstream text;
	text << format.width << "x" << format.height;
	if (rate.numerator > 0) {
		text << "@";
		if (rate.denominator == 1)
			text << rate.numerator;
		else
			text << std::setprecision(4) << rateValue(rate);
	}
	if (!format.pixelFormat.empty())
		text << ":" << format.pixelFormat;
	return text.str();
}

int matchCamera(const std::vector<CameraInfo> &cameras, const std::string &which,
		std::string &error)
{
	const std::string notFound = "failed to find camera \"" + which + "\": ";
	if (!which.empty() &&
	    std::all_of(which.begin(), which.end(), [](char c) { return g_ascii_isdigit(c); })) {
		std::size_t index = 0;
		const auto [end, problem] =
			std::from_chars(which.data(), which.data() + which.size(), index);
		if (problem == std::errc() && index < cameras.size())
			return static_cast<int>(index);
		error = notFound + allCameras(cameras);
		return -1;
	}
	if (!which.empty() && which.front() == '/') {
		// The path as the camera gives it first: a camera behind a sound server may name a
		// node this process cannot see.
		for (std::size_t i = 0; i < cameras.size(); ++i)
			if (cameras[i].devicePath == which)
				return static_cast<int>(i);
		const std::string node = realPath(which);
		if (node.empty()) {
			error = notFound + lowercase(std::strerror(errno)) + "; " +
				allCameras(cameras);
			return -1;
		}
		for (std::size_t i = 0; i < cameras.size(); ++i)
			if (!cameras[i].devicePath.empty() &&
			    realPath(cameras[i].devicePath) == node)
				return static_cast<int>(i);
		error = notFound + "no camera has that device node; " + allCameras(cameras);
		return -1;
	}
	const std::string wanted = lowercase(which);
	std::vector<int> whole;
	std::vector<int> parts;
	for (std::size_t i = 0; i < cameras.size(); ++i) {
		const std::string name = lowercase(cameras[i].name);
		if (name == wanted)
			whole.push_back(static_cast<int>(i));
		else if (!wanted.empty() && name.find(wanted) != std::string::npos)
			parts.push_back(static_cast<int>(i));
	}
	if (whole.size() == 1 || (whole.empty() && parts.size() == 1))
		return whole.empty() ? parts.front() : whole.front();
	if (whole.empty() && parts.empty()) {
		error = notFound + allCameras(cameras);
		return -1;
	}
	const std::vector<int> &several = whole.empty() ? parts : whole;
	error = "failed to choose camera \"" + which + "\": it names more than one (" +
		cameraList(cameras, several) + "); give an index or a device path";
	return -1;
}

std::optional<FormatChoice> matchFormat(const std::vector<VideoFormat> &formats,
					const CvcamFormatRequest &request, std::string &error)
{
	if (formats.empty()) {
		error = "it lists no formats to choose from";
		return std::nullopt;
	}
	std::vector<VideoFormat> fastest;
	std::vector<FormatChoice> candidates;
	for (std::size_t i = 0; i < formats.size(); ++i) {
		const VideoFormat &format = formats[i];
		FrameRate rate;
		if (format.width != request.width || format.height != request.height ||
		    !pixelFormatMatches(format, request.pixelFormat) ||
		    !rateFor(format, request, rate))
			continue;
		const double value = rateValue(rate);
		const double best = candidates.empty() ? -1 : rateValue(candidates.front().rate);
		if (value < best)
			continue;
		if (value > best) {
			candidates.clear();
			fastest.clear();
		}
		candidates.push_back({ i, rate });
		fastest.push_back(format);
	}
	if (candidates.empty()) {
		error = "it does not offer that; the nearest offered are " +
			nearestFormats(formats, request);
		return std::nullopt;
	}
	// Equally fast: the one the default would pick among them, raw before JPEG.
	return candidates[defaultFormat(fastest).format];
}

int resolvePreset(const CvcamPreset &preset, Console &console, ResolvedPreset &resolved)
{
	resolved = {};
	std::string error;
	bool standingIn = false; // the test pattern, for want of a camera: said once all is well
	if (!preset.source.empty()) {
		CameraInfo camera;
		if (!checkedSourceCamera(sourceName(preset.source), preset.source, camera, error)) {
			tellUser("failed to open \"" + preset.source + "\": " + error);
			return 1;
		}
		resolved.cameras = { std::move(camera) };
		resolved.chosen = { 0 };
		return 0;
	}
	if (preset.testPattern) {
		resolved.cameras = { testPatternCamera() };
		resolved.chosen = { 0 };
	} else if (!preset.camera.empty()) {
		resolved.cameras = findCameras();
		// As --list-cameras shows it, the test pattern is camera 0 when there is none.
		if (resolved.cameras.empty())
			resolved.cameras.push_back(testPatternCamera());
		const int index = matchCamera(resolved.cameras, preset.camera, error);
		if (index < 0) {
			tellUser(error);
			return 2;
		}
		resolved.chosen = { index };
	} else if (preset.format) {
		// The format belongs to one camera: the dialog asks for it first, as it would.
		resolved.cameras = findCameras();
		standingIn = resolved.cameras.empty();
		if (standingIn) {
			resolved.cameras.push_back(testPatternCamera());
			resolved.chosen = { 0 };
		} else {
			resolved.chosen = chooseCameras(resolved.cameras, console);
		}
	}
	if (!preset.format || resolved.chosen.empty())
		return 0;
	const CameraInfo &camera =
		resolved.cameras[static_cast<std::size_t>(resolved.chosen.front())];
	const GstCapsPtr caps = capsOfferedBy(camera);
	resolved.format = matchFormat(formatsFromCaps(caps.get()), *preset.format, error);
	if (!resolved.format) {
		tellUser("failed to use format " + preset.format->text + " of camera \"" +
			 camera.name + "\": " + error);
		return 2;
	}
	if (standingIn)
		*console.out << noCameraNote;
	return 0;
}
