// Option parsing with GLib's GOptionContext: GStreamer already brings it, with its own options as
// a group, and it gives GNU-style long and short options and the help layout for free.
#include "command_line.h"

#include <charconv>
#include <memory>
#include <regex>

#include <glib.h>

#include "capture/cvcam.h"
#include "edge_thresholds.h"
#include "glib_handles.h"
#include "user_message.h"

#ifndef EDGE_VIEWER_VERSION
#error "EDGE_VIEWER_VERSION must name the project's version"
#endif

namespace {

constexpr char summary[] =
	"Shows the Canny edges of a live camera picture in a window \"edge\", with two\n"
	"sliders \"T1\" and \"T2\" for the edge detector's thresholds. Any key, or closing\n"
	"the window, ends the run. Without options the camera and its format are asked\n"
	"on the console when there is a choice.";

constexpr char description[] = "Exit status:\n"
			       "  0  a normal run, ended by a key or by closing \"edge\"; or "
			       "--help, --version,\n"
			       "     --list-cameras\n"
			       "  1  could not run: no display, no camera selected, or a source "
			       "that cannot be\n"
			       "     opened\n"
			       "  2  a usage error: an unknown option, a malformed value, or a "
			       "camera or format\n"
			       "     that is not there\n";

struct OptionContextFree {
	void operator()(GOptionContext *context) const { g_option_context_free(context); }
};

struct StrvFree {
	void operator()(gchar **strv) const { g_strfreev(strv); }
};

// The option values GLib fills in; the strings are GLib's to free.
struct OptionValues {
	gboolean help = FALSE;
	gboolean helpGst = FALSE;
	gboolean version = FALSE;
	gboolean listCameras = FALSE;
	gboolean testPattern = FALSE;
	gchar *camera = nullptr;
	gchar *format = nullptr;
	gchar *source = nullptr;
	gchar *thresholds = nullptr;
	gchar *aperture = nullptr;
	gchar *blur = nullptr;
	gboolean l2Gradient = FALSE;
	gboolean printThresholds = FALSE;
	gboolean autoThresholds = FALSE;
	gboolean overlay = FALSE;
	gboolean histogram = FALSE;

	OptionValues() = default;
	OptionValues(const OptionValues &) = delete;
	OptionValues &operator=(const OptionValues &) = delete;
	~OptionValues()
	{
		for (gchar *text : { camera, format, source, thresholds, aperture, blur })
			g_free(text);
	}
};

CommandLine usageError(const std::string &what)
{
	CommandLine line;
	line.action = CommandLine::Action::usageError;
	line.text = userLine(what) + "\nTry '" + programName + " --help'.\n";
	return line;
}

bool parseInt(const std::string &text, int &value)
{
	const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
	return problem == std::errc() && end == text.data() + text.size();
}

bool parseThresholds(const std::string &text, ViewerSettings &settings)
{
	const int maximum = thresholdMaximumFor(settings.detector.aperture);
	const auto comma = text.find(',');
	if (comma == std::string::npos)
		return false;
	int low = -1;
	int high = -1;
	if (!parseInt(text.substr(0, comma), low) || !parseInt(text.substr(comma + 1), high))
		return false;
	if (low < 0 || low > maximum || high < 0 || high > maximum)
		return false;
	settings.threshold1 = low;
	settings.threshold2 = high;
	return true;
}

// WxH[@FPS][:FOURCC]; the rate a whole or decimal number, the FOURCC up to four letters or digits.
bool parseFormat(const std::string &text, CvcamFormatRequest &request)
{
	static const std::regex pattern(
		R"(([1-9][0-9]{0,4})x([1-9][0-9]{0,4})(@([0-9]{1,3}(\.[0-9]{1,3})?))?(:([A-Za-z0-9]{2,5}))?)");
	std::smatch parts;
	if (!std::regex_match(text, parts, pattern))
		return false;
	request.width = std::stoi(parts[1]);
	request.height = std::stoi(parts[2]);
	request.rate = parts[4].matched ? std::stod(parts[4]) : 0.0;
	if (parts[4].matched && request.rate <= 0)
		return false;
	request.pixelFormat = parts[7].matched ? std::string(parts[7]) : std::string();
	request.text = text;
	return true;
}

// Sizes beyond this blur a camera picture into nothing and cost more than the frame's time.
constexpr int blurMaximum = 99;

bool parseDetector(const OptionValues &values, EdgeDetector &detector)
{
	if (values.aperture &&
	    (!parseInt(values.aperture, detector.aperture) ||
	     (detector.aperture != 3 && detector.aperture != 5 && detector.aperture != 7)))
		return false;
	detector.l2Gradient = values.l2Gradient;
	return true;
}

bool parseBlur(const gchar *text, EdgeDetector &detector)
{
	return !text || (parseInt(text, detector.blur) && detector.blur >= 1 &&
			 detector.blur <= blurMaximum && detector.blur % 2 == 1);
}

} // namespace

CommandLine parseCommandLine(const std::vector<std::string> &arguments)
{
	g_set_prgname("edge-viewer");
	OptionValues values;
	const GOptionEntry entries[] = {
		{ "help", 'h', 0, G_OPTION_ARG_NONE, &values.help, "Show this help and exit",
		  nullptr },
		{ "version", 0, 0, G_OPTION_ARG_NONE, &values.version, "Show the version and exit",
		  nullptr },
		{ "list-cameras", 'l', 0, G_OPTION_ARG_NONE, &values.listCameras,
		  "List cameras and formats, then exit", nullptr },
		{ "camera", 'c', 0, G_OPTION_ARG_STRING, &values.camera,
		  "Camera: an index, a device path or a name", "WHICH" },
		{ "format", 'f', 0, G_OPTION_ARG_STRING, &values.format,
		  "Format, such as 1280x720@30:MJPG", "WxH[@FPS][:FOURCC]" },
		{ "test-pattern", 0, 0, G_OPTION_ARG_NONE, &values.testPattern,
		  "Test pattern, even where cameras exist", nullptr },
		{ "source", 's', 0, G_OPTION_ARG_FILENAME, &values.source,
		  "Show a video (looped) or a still image", "URI|PATH" },
		{ "thresholds", 't', 0, G_OPTION_ARG_STRING, &values.thresholds,
		  "Sliders' start, 0 to 255 at aperture 3 (default 100,120)", "T1,T2" },
		{ "aperture", 0, 0, G_OPTION_ARG_STRING, &values.aperture,
		  "Canny's Sobel aperture: 3 (default), 5 or 7", "3|5|7" },
		{ "l2-gradient", 0, 0, G_OPTION_ARG_NONE, &values.l2Gradient,
		  "Canny with the exact (L2) gradient magnitude", nullptr },
		{ "blur", 0, 0, G_OPTION_ARG_STRING, &values.blur,
		  "Gaussian blur before Canny, an odd kernel size", "SIZE" },
		{ "auto-thresholds", 0, 0, G_OPTION_ARG_NONE, &values.autoThresholds,
		  "Sliders' start from the first frame's gradient (Otsu)", nullptr },
		{ "overlay", 0, 0, G_OPTION_ARG_NONE, &values.overlay,
		  "Edges over the dimmed picture (Ctrl+O switches)", nullptr },
		{ "histogram", 0, 0, G_OPTION_ARG_NONE, &values.histogram,
		  "The gradient's histogram with T1 and T2 in a window", nullptr },
		{ "print-thresholds", 0, 0, G_OPTION_ARG_NONE, &values.printThresholds,
		  "Print the thresholds on stdout when the run ends", nullptr },
		{ "help-gst", 0, 0, G_OPTION_ARG_NONE, &values.helpGst,
		  "Show GStreamer's own options and exit", nullptr },
		{},
	};
	const std::unique_ptr<GOptionContext, OptionContextFree> context(g_option_context_new(""));
	// Our own --help, so that parsing never prints or exits by itself.
	g_option_context_set_help_enabled(context.get(), FALSE);
	g_option_context_set_summary(context.get(), summary);
	g_option_context_set_description(context.get(), description);
	g_option_context_add_main_entries(context.get(), entries, nullptr);
	GOptionGroup *gstreamer = cvcamOptionGroup();
	g_option_context_add_group(context.get(), gstreamer);

	std::unique_ptr<gchar *, StrvFree> argv(g_new0(gchar *, arguments.size() + 1));
	for (std::size_t i = 0; i < arguments.size(); ++i)
		argv.get()[i] = g_strdup(arguments[i].c_str());
	gchar **remaining = argv.release();
	GError *rawError = nullptr;
	const bool parsed = g_option_context_parse_strv(context.get(), &remaining, &rawError);
	argv.reset(remaining);
	const GErrorPtr error(rawError);
	if (!parsed)
		return usageError(error && error->message ? errorFragment(error->message)
							  : "cannot parse options");
	if (remaining[0] && remaining[1])
		return usageError(std::string("unexpected argument '") + remaining[1] + "'");

	CommandLine line;
	if (values.help || values.helpGst) {
		line.action = CommandLine::Action::help;
		const std::unique_ptr<gchar, decltype(&g_free)> help(
			g_option_context_get_help(context.get(), values.help,
						  values.help ? nullptr : gstreamer),
			&g_free);
		line.text = help.get();
		return line;
	}
	if (values.version) {
		line.action = CommandLine::Action::version;
		line.text = "edge-viewer " EDGE_VIEWER_VERSION "\n";
		return line;
	}
	if (values.listCameras) {
		line.action = CommandLine::Action::listCameras;
		return line;
	}

	CvcamPreset &preset = line.settings.capture;
	if (values.camera) {
		preset.camera = values.camera;
		if (preset.camera.empty())
			return usageError("--camera needs an index, a device path or a name");
	}
	if (values.format) {
		CvcamFormatRequest request;
		if (!parseFormat(values.format, request))
			return usageError(std::string("--format takes WxH[@FPS][:FOURCC], such as "
						      "1280x720@30, not '") +
					  values.format + "'");
		preset.format = request;
	}
	preset.testPattern = values.testPattern;
	if (values.source) {
		preset.source = values.source;
		if (preset.source.empty())
			return usageError("--source needs a file or a URI");
	}
	if (!parseDetector(values, line.settings.detector))
		return usageError(std::string("--aperture takes 3, 5 or 7, not '") +
				  values.aperture + "'");
	if (!parseBlur(values.blur, line.settings.detector))
		return usageError("--blur takes an odd kernel size from 1 to " +
				  std::to_string(blurMaximum) + ", such as 5, not '" + values.blur +
				  "'");
	line.settings.printThresholds = values.printThresholds;
	line.settings.autoThresholds = values.autoThresholds;
	line.settings.overlay = values.overlay;
	line.settings.histogram = values.histogram;
	if (values.autoThresholds && values.thresholds)
		return usageError(
			"--auto-thresholds and --thresholds both choose where the sliders "
			"start; leave out one");
	if (values.thresholds && !parseThresholds(values.thresholds, line.settings))
		return usageError(
			"--thresholds takes T1,T2 with each from 0 to " +
			std::to_string(thresholdMaximumFor(line.settings.detector.aperture)) +
			", such as 100,120, not '" + values.thresholds + "'");
	if (preset.testPattern && !preset.camera.empty())
		return usageError("--test-pattern and --camera name two different cameras");
	if (!preset.source.empty() && (preset.testPattern || !preset.camera.empty()))
		return usageError("--source replaces the camera; leave out --camera and "
				  "--test-pattern");
	if (!preset.source.empty() && preset.format)
		return usageError("--source plays in its own format; leave out --format");
	return line;
}
