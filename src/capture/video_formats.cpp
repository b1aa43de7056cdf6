// Camera formats from caps, the default among them, and the console page that picks one.
#include "video_formats.h"

#include <algorithm>
#include <cstdlib>
#include <iomanip>
#include <ostream>
#include <sstream>

namespace {

// What a size or rate range offers: the values cameras and screens commonly use.
constexpr struct {
	int width;
	int height;
} commonSizes[] = { { 160, 120 },  { 320, 240 },  { 640, 360 },	 { 640, 480 },	{ 800, 600 },
		    { 1024, 768 }, { 1280, 720 }, { 1280, 960 }, { 1920, 1080 } };
constexpr int commonRates[] = { 60, 50, 30, 25, 24, 20, 15, 10, 5 };

constexpr int preferredWidth = 640;
constexpr int preferredHeight = 480;
constexpr int preferredMaximumRate = 30;

double rateValue(FrameRate rate)
{
	return rate.denominator == 0 ? 0.0 : double(rate.numerator) / rate.denominator;
}

std::string rateText(FrameRate rate)
{
	if (rate.denominator == 1)
		return std::to_string(rate.numerator);
	std::ostringstream text;
	text << std::setprecision(4) << rateValue(rate);
	return text.str();
}

std::vector<std::string> stringValues(const GValue *value)
{
	std::vector<std::string> values;
	if (!value)
		return values;
	if (G_VALUE_HOLDS_STRING(value)) {
		values.emplace_back(g_value_get_string(value));
	} else if (GST_VALUE_HOLDS_LIST(value)) {
		for (guint i = 0; i < gst_value_list_get_size(value); ++i) {
			const GValue *item = gst_value_list_get_value(value, i);
			if (G_VALUE_HOLDS_STRING(item))
				values.emplace_back(g_value_get_string(item));
		}
	}
	return values;
}

// Whether an integer field allows n: a single value, a list or a range with its step.
bool allowsInt(const GValue *value, int n)
{
	if (G_VALUE_HOLDS_INT(value))
		return g_value_get_int(value) == n;
	if (GST_VALUE_HOLDS_INT_RANGE(value)) {
		// A stepped range holds the multiples of its step.
		const int step = std::max(1, gst_value_get_int_range_step(value));
		return n >= gst_value_get_int_range_min(value) &&
		       n <= gst_value_get_int_range_max(value) && n % step == 0;
	}
	if (GST_VALUE_HOLDS_LIST(value)) {
		for (guint i = 0; i < gst_value_list_get_size(value); ++i)
			if (allowsInt(gst_value_list_get_value(value, i), n))
				return true;
	}
	return false;
}

// The values an integer field lists; empty for a range.
std::vector<int> listedInts(const GValue *value)
{
	std::vector<int> values;
	if (G_VALUE_HOLDS_INT(value)) {
		values.push_back(g_value_get_int(value));
	} else if (GST_VALUE_HOLDS_LIST(value)) {
		for (guint i = 0; i < gst_value_list_get_size(value); ++i) {
			const GValue *item = gst_value_list_get_value(value, i);
			if (!G_VALUE_HOLDS_INT(item))
				return {};
			values.push_back(g_value_get_int(item));
		}
	}
	return values;
}

struct Size {
	int width;
	int height;
};

std::vector<Size> sizesOf(const GstStructure *structure)
{
	const GValue *width = gst_structure_get_value(structure, "width");
	const GValue *height = gst_structure_get_value(structure, "height");
	std::vector<Size> sizes;
	if (!width || !height)
		return sizes;
	const std::vector<int> widths = listedInts(width);
	const std::vector<int> heights = listedInts(height);
	if (!widths.empty() && !heights.empty()) {
		// Caps allow every pairing of the values they list.
		for (int w : widths)
			for (int h : heights)
				sizes.push_back({ w, h });
		return sizes;
	}
	for (const auto &common : commonSizes)
		if (allowsInt(width, common.width) && allowsInt(height, common.height))
			sizes.push_back({ common.width, common.height });
	return sizes;
}

void addRates(const GValue *value, std::vector<FrameRate> &rates)
{
	if (GST_VALUE_HOLDS_FRACTION(value)) {
		const FrameRate rate{ gst_value_get_fraction_numerator(value),
				      gst_value_get_fraction_denominator(value) };
		// 0/1 means "variable": nothing a page can offer.
		if (rate.numerator > 0 && rate.denominator > 0)
			rates.push_back(rate);
	} else if (GST_VALUE_HOLDS_FRACTION_RANGE(value)) {
		const double low = rateValue(
			{ gst_value_get_fraction_numerator(gst_value_get_fraction_range_min(value)),
			  gst_value_get_fraction_denominator(
				  gst_value_get_fraction_range_min(value)) });
		const FrameRate highest{
			gst_value_get_fraction_numerator(gst_value_get_fraction_range_max(value)),
			gst_value_get_fraction_denominator(gst_value_get_fraction_range_max(value))
		};
		const double high = rateValue(highest);
		bool any = false;
		for (int common : commonRates) {
			if (common >= low && common <= high) {
				rates.push_back({ common, 1 });
				any = true;
			}
		}
		if (!any && high > 0)
			rates.push_back(highest);
	} else if (GST_VALUE_HOLDS_LIST(value)) {
		for (guint i = 0; i < gst_value_list_get_size(value); ++i)
			addRates(gst_value_list_get_value(value, i), rates);
	}
}

void mergeRates(std::vector<FrameRate> &into, const std::vector<FrameRate> &rates)
{
	for (const FrameRate &rate : rates)
		if (std::find_if(into.begin(), into.end(), [&](const FrameRate &known) {
			    return rateValue(known) == rateValue(rate);
		    }) == into.end())
			into.push_back(rate);
	std::stable_sort(into.begin(), into.end(), [](const FrameRate &a, const FrameRate &b) {
		return rateValue(a) > rateValue(b);
	});
}

void addFormat(std::vector<VideoFormat> &formats, VideoFormat format)
{
	for (VideoFormat &known : formats) {
		if (known.pixelFormat == format.pixelFormat && known.width == format.width &&
		    known.height == format.height) {
			mergeRates(known.rates, format.rates);
			return;
		}
	}
	std::vector<FrameRate> rates = std::move(format.rates);
	format.rates.clear();
	mergeRates(format.rates, rates);
	formats.push_back(std::move(format));
}

// A format index, optionally followed by one of its rates; false with a reason otherwise.
bool parseFormatAnswer(const std::string &answer, const std::vector<VideoFormat> &formats,
		       FormatChoice &choice, std::string &problem)
{
	std::istringstream words(answer);
	std::string indexWord;
	std::string rateWord;
	std::string extra;
	words >> indexWord >> rateWord >> extra;
	char *end = nullptr;
	const long index = std::strtol(indexWord.c_str(), &end, 10);
	if (*end != '\0' || index < 0 || static_cast<std::size_t>(index) >= formats.size() ||
	    !extra.empty()) {
		problem = "\"" + answer + "\" is not a format; enter a number from 0 to " +
			  std::to_string(formats.size() - 1) +
			  ", optionally followed by a frame rate, or just Enter";
		return false;
	}
	const VideoFormat &format = formats[static_cast<std::size_t>(index)];
	FormatChoice picked{ static_cast<std::size_t>(index),
			     format.rates.empty() ? FrameRate{ 0, 1 } : format.rates.front() };
	if (!rateWord.empty()) {
		const auto match = std::find_if(
			format.rates.begin(), format.rates.end(),
			[&](const FrameRate &rate) { return rateText(rate) == rateWord; });
		if (match == format.rates.end()) {
			problem = "format " + std::to_string(index) + " has no rate of " +
				  rateWord + " frames/s";
			return false;
		}
		picked.rate = *match;
	} else {
		// Without a rate, the default rule picks among this format's rates.
		picked.rate = defaultFormat({ format }).rate;
	}
	choice = picked;
	return true;
}

} // namespace

std::string formatLine(const VideoFormat &format)
{
	std::ostringstream line;
	line << std::left << std::setw(5)
	     << (format.pixelFormat.empty() ? std::string("raw") : format.pixelFormat) << std::right
	     << std::setw(6) << format.width << "x" << std::left << std::setw(6) << format.height;
	if (format.rates.empty()) {
		line << "any rate";
	} else {
		for (std::size_t i = 0; i < format.rates.size(); ++i)
			line << (i ? ", " : "") << rateText(format.rates[i]);
		line << " frames/s";
	}
	return line.str();
}

std::vector<VideoFormat> formatsFromCaps(const GstCaps *caps)
{
	std::vector<VideoFormat> formats;
	if (!caps || gst_caps_is_any(caps))
		return formats;
	for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
		const GstStructure *structure = gst_caps_get_structure(caps, i);
		std::vector<std::string> pixelFormats;
		bool compressed = false;
		if (gst_structure_has_name(structure, "video/x-raw")) {
			if (gst_structure_has_field(structure, "format")) {
				pixelFormats =
					stringValues(gst_structure_get_value(structure, "format"));
			} else {
				pixelFormats.emplace_back();
			}
		} else if (gst_structure_has_name(structure, "image/jpeg")) {
			pixelFormats.emplace_back("MJPG");
			compressed = true;
		} else {
			continue; // other compressed formats: no decoder in the pipeline
		}
		std::vector<FrameRate> rates;
		if (const GValue *rate = gst_structure_get_value(structure, "framerate"))
			addRates(rate, rates);
		for (const Size &size : sizesOf(structure))
			for (const std::string &pixelFormat : pixelFormats)
				addFormat(formats, VideoFormat{ pixelFormat, compressed, size.width,
								size.height, rates });
	}
	return formats;
}

FormatChoice defaultFormat(const std::vector<VideoFormat> &formats)
{
	const long preferredArea = long(preferredWidth) * preferredHeight;
	std::size_t best = 0;
	auto distance = [&](const VideoFormat &format) {
		return std::labs(long(format.width) * format.height - preferredArea);
	};
	for (std::size_t i = 1; i < formats.size(); ++i) {
		const long d = distance(formats[i]);
		const long bestD = distance(formats[best]);
		if (d < bestD || (d == bestD && formats[best].compressed && !formats[i].compressed))
			best = i;
	}
	const std::vector<FrameRate> &rates = formats[best].rates;
	if (rates.empty())
		return { best, { 0, 1 } };
	// Fastest first: the first at or under the limit, else the slowest offered.
	const auto fitting = std::find_if(rates.begin(), rates.end(), [](const FrameRate &rate) {
		return rateValue(rate) <= preferredMaximumRate;
	});
	return { best, fitting != rates.end() ? *fitting : rates.back() };
}

std::string capsText(const VideoFormat &format, FrameRate rate)
{
	std::string text = format.compressed ? "image/jpeg" : "video/x-raw";
	if (!format.compressed && !format.pixelFormat.empty())
		text += ",format=" + format.pixelFormat;
	text += ",width=" + std::to_string(format.width) +
		",height=" + std::to_string(format.height);
	if (rate.numerator > 0)
		text += ",framerate=" + std::to_string(rate.numerator) + "/" +
			std::to_string(rate.denominator);
	return text;
}

FormatChoice formatPage(const std::string &camera, const std::vector<VideoFormat> &formats,
			FormatChoice current, Console &console)
{
	if (!console.isTerminal || formats.empty() || current.format >= formats.size())
		return current;
	std::ostream &out = *console.out;
	out << "Video formats of " << camera << " (* marks the one in use):\n";
	for (std::size_t i = 0; i < formats.size(); ++i)
		out << (i == current.format ? "  * " : "    ") << std::setw(2) << i << "  "
		    << formatLine(formats[i]) << "\n";
	for (;;) {
		out << "Format? A number, optionally followed by a frame rate (Enter keeps "
		    << current.format;
		if (current.rate.numerator > 0)
			out << " at " << rateText(current.rate) << " frames/s";
		out << "): " << std::flush;
		std::string answer;
		if (!readAnswer(console, answer) || answer.empty() || answer == "q" ||
		    answer == "Q")
			return current;
		std::string problem;
		FormatChoice picked;
		if (parseFormatAnswer(answer, formats, picked, problem))
			return picked;
		out << problem << "\n";
	}
}
