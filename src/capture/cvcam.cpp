// The capture interface over GStreamer: camera list, per-camera properties, one running pipeline.
// Every entry point runs on the main thread; the streaming threads reach this unit only through
// the start-failure hook it gives the pipeline, which never waits for the main thread.
#include "cvcam.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "camera_choice.h"
#include "camera_list.h"
#include "camera_monitor.h"
#include "camera_watch.h"
#include "capture_pipeline.h"
#include "capture_preset.h"
#include "console.h"
#include "gui_dispatch.h"
#include "user_message.h"
#include "video_formats.h"

namespace {

struct CameraSettings {
	bool enabled = false;
	bool render = false;
	const int *renderWidth = nullptr; // borrowed from the caller until cvcamExit()
	const int *renderHeight = nullptr;
	CvcamFrameCallback callback = nullptr;
	std::optional<FormatChoice> format; // picked on the format page; else the default
};

struct CaptureLayer {
	std::vector<CameraInfo> cameras;
	std::vector<CameraSettings> settings; // one per camera
	// What each camera offers, asked for once when first needed.
	std::vector<std::optional<std::vector<VideoFormat>>> formats;
	std::unique_ptr<CapturePipeline> pipeline;
	std::size_t active = 0; // the camera the pipeline captures from
	// While capturing from a device: waits for it to come back after it is unplugged. Made and
	// reset by the main thread; also used by the capture threads of a pipeline that fails to
	// start (onStartFailure), which cvcamStop() stops before it resets the watch.
	std::unique_ptr<CameraWatch> watch;
	// What the command line answered before the dialogs: set by cvcamPreset().
	std::optional<ResolvedPreset> preset;
	// Between cvcamStart() and cvcamStop(): only then may a camera that came back, or its
	// fallback, start capturing.
	bool capturing = false;
	// Counts the pipelines made, so that news of one already replaced is ignored.
	unsigned attempt = 0;
};

// Main thread only, but for the watch (see there).
CaptureLayer &layer()
{
	static CaptureLayer state;
	return state;
}

bool knownCamera(int camera)
{
	return camera >= 0 && static_cast<std::size_t>(camera) < layer().settings.size();
}

bool flagSet(void *value)
{
	return reinterpret_cast<std::intptr_t>(value) != 0;
}

const std::vector<VideoFormat> &formatsOf(std::size_t camera)
{
	CaptureLayer &state = layer();
	std::optional<std::vector<VideoFormat>> &formats = state.formats[camera];
	if (!formats) {
		const GstCapsPtr caps = capsOfferedBy(state.cameras[camera]);
		formats = formatsFromCaps(caps.get());
	}
	return *formats;
}

// The caps for the camera's format: the one picked, else the default; empty when the camera
// lists none.
std::string chosenCaps(std::size_t camera)
{
	const std::vector<VideoFormat> &formats = formatsOf(camera);
	if (formats.empty())
		return {};
	const std::optional<FormatChoice> &picked = layer().settings[camera].format;
	const FormatChoice choice = picked ? *picked : defaultFormat(formats);
	return capsText(formats[choice.format], choice.rate);
}

void startOnFallback(unsigned attempt);

// Any thread: the camera of pipeline attempt failed before its first frame. A camera that is gone
// is then waited for; one that has another way in is opened that way, on the main thread. Never
// waits: should the hand-off queue be full, the camera stays on the way that failed.
void onStartFailure(unsigned attempt, bool hasFallback)
{
	// The watch outlives every pipeline: cvcamStop() stops capture first.
	if (CameraWatch *watch = layer().watch.get())
		watch->captureFailed();
	if (hasFallback)
		guiDispatcher().tryPost([attempt] { startOnFallback(attempt); });
}

// Main thread. Makes the pipeline for camera index, as its settings ask; says why on failure.
std::unique_ptr<CapturePipeline> makePipeline(std::size_t index)
{
	CaptureLayer &state = layer();
	const CameraSettings &settings = state.settings[index];
	const CameraInfo &camera = state.cameras[index];
	CaptureOptions options;
	options.caps = chosenCaps(index);
	options.render = settings.render;
	options.renderWidth = settings.renderWidth;
	options.renderHeight = settings.renderHeight;
	options.onStartFailure = [attempt = ++state.attempt,
				  hasFallback = camera.fallbackDevice != nullptr] {
		onStartFailure(attempt, hasFallback);
	};
	std::string error;
	auto pipeline = CapturePipeline::create(state.cameras[index], settings.callback, error,
						std::move(options));
	if (!pipeline)
		tellUser("failed to set up " + state.cameras[index].name + ": " + error);
	return pipeline;
}

// Main thread. Capture starts again on the active camera, as it is now; returns whether it
// started. The old pipeline goes first; it holds the preview window, which only this thread may
// close.
bool restartCapture()
{
	CaptureLayer &state = layer();
	// A preview the user closed stays closed, as it does while the camera is there.
	if (state.pipeline && state.pipeline->previewClosed())
		state.settings[state.active].render = false;
	state.pipeline.reset();
	state.pipeline = makePipeline(state.active);
	std::string error;
	return state.pipeline && state.pipeline->start(error);
}

// Main thread, posted by the watch: the camera in use is back, so capture starts again on its new
// device.
void resumeReturnedCamera()
{
	CaptureLayer &state = layer();
	if (!state.capturing || !state.watch)
		return;
	std::optional<CameraInfo> back = state.watch->takeReturned();
	if (!back)
		return;
	CameraInfo &camera = state.cameras[state.active];
	// As the list would show it now: PipeWire's node where it offers the camera, whichever
	// provider announced it first.
	const std::optional<CameraInfo> listed = findCamera(cameraIdentity(*back));
	camera.device = listed ? listed->device : back->device;
	camera.fallbackDevice = listed ? listed->fallbackDevice : nullptr;
	if (restartCapture())
		tellUser("camera \"" + camera.name + "\" is back");
}

// Main thread, posted when the camera of pipeline attempt failed before its first frame: it is
// opened through its fallback (its V4L2 node, where PipeWire's failed), once.
void startOnFallback(unsigned attempt)
{
	CaptureLayer &state = layer();
	if (!state.capturing || attempt != state.attempt)
		return;
	CameraInfo &camera = state.cameras[state.active];
	if (!camera.fallbackDevice)
		return;
	camera.device = std::move(camera.fallbackDevice);
	camera.fallbackDevice = nullptr;
	std::string path;
	if (const std::optional<CameraInfo> through = cameraOf(camera.device.get()))
		path = through->devicePath;
	tellUser("trying camera \"" + camera.name + "\" through " +
		 (path.empty() ? std::string("another provider") : path) + " instead");
	restartCapture();
}

} // namespace

int cvcamSelectCamera(std::vector<int> &cameraList)
{
	CaptureLayer &state = layer();
	if (state.preset) {
		state.cameras = state.preset->cameras;
		cameraList = state.preset->chosen;
	} else {
		CameraMonitor::keepUntilExit(); // camera_monitor.h says why
		state.cameras = findCameras();
		cameraList = chooseCameras(state.cameras, captureConsole());
	}
	state.settings.assign(state.cameras.size(), CameraSettings{});
	state.formats.assign(state.cameras.size(), std::nullopt);
	if (state.preset && state.preset->format && !cameraList.empty())
		state.settings[static_cast<std::size_t>(cameraList.front())].format =
			state.preset->format;
	return static_cast<int>(cameraList.size());
}

int cvcamSetProperty(int camera, const char *property, void *value)
{
	if (!knownCamera(camera) || !property)
		return -1;
	CameraSettings &settings = layer().settings[static_cast<std::size_t>(camera)];
	if (std::strcmp(property, "enable") == 0)
		settings.enabled = flagSet(value);
	else if (std::strcmp(property, "render") == 0)
		settings.render = flagSet(value);
	else if (std::strcmp(property, "rendering_width") == 0)
		settings.renderWidth = static_cast<const int *>(value);
	else if (std::strcmp(property, "rendering_height") == 0)
		settings.renderHeight = static_cast<const int *>(value);
	else if (std::strcmp(property, "callback") == 0)
		settings.callback = reinterpret_cast<CvcamFrameCallback>(value);
	else
		return -1;
	return 0;
}

int cvcamGetProperty(int camera, const char *property, void *)
{
	if (!knownCamera(camera) || !property || std::strcmp(property, "video_pp") != 0)
		return -1;
	Console &console = captureConsole();
	// A format the command line named is not asked again.
	if (!console.isTerminal || (layer().preset && layer().preset->format))
		return 0;
	const auto index = static_cast<std::size_t>(camera);
	const std::vector<VideoFormat> &formats = formatsOf(index);
	if (formats.empty())
		return 0;
	CameraSettings &settings = layer().settings[index];
	const FormatChoice current = settings.format ? *settings.format : defaultFormat(formats);
	settings.format = formatPage(layer().cameras[index].name, formats, current, console);
	return 0;
}

int cvcamInit()
{
	CaptureLayer &state = layer();
	if (state.pipeline)
		return 0;
	for (std::size_t index = 0; index < state.settings.size(); ++index) {
		if (!state.settings[index].enabled)
			continue;
		state.active = index;
		state.pipeline = makePipeline(index);
		return state.pipeline ? 0 : -1;
	}
	return -1;
}

int cvcamStart()
{
	CaptureLayer &state = layer();
	if (!state.pipeline)
		return -1;
	// A camera that cannot start says so itself, as it does for faults later on. Even then it
	// may be plugged in later, so the watch runs either way; it starts first, so that it is
	// there to hear of a camera that fails to start.
	state.capturing = true;
	if (!state.watch && state.cameras[state.active].device)
		state.watch = std::make_unique<CameraWatch>(
			state.cameras[state.active],
			[](std::function<void()> work) {
				return guiDispatcher().tryPost(std::move(work));
			},
			resumeReturnedCamera);
	std::string error;
	return state.pipeline->start(error) ? 0 : -1;
}

int cvcamRedeliver()
{
	if (CapturePipeline *pipeline = layer().pipeline.get())
		pipeline->redeliver();
	return 0;
}

int cvcamStop()
{
	// Capture first: a source may share its provider's connection, so it goes to NULL while
	// the watch still holds the monitor (camera_monitor.h). Returned cameras and fallbacks are
	// refused from here on, so none comes back into a stopped layer.
	CaptureLayer &state = layer();
	state.capturing = false;
	if (state.pipeline)
		state.pipeline->stop();
	state.watch.reset();
	return 0;
}

int cvcamExit()
{
	CaptureLayer &state = layer();
	state.capturing = false;
	state.pipeline.reset();
	state.watch.reset();
	state.settings.assign(state.cameras.size(), CameraSettings{});
	return 0;
}

int cvcamPreset(const CvcamPreset &preset)
{
	CaptureLayer &state = layer();
	state.preset.reset();
	if (preset == CvcamPreset{})
		return 0;
	CameraMonitor::keepUntilExit(); // camera_monitor.h says why
	ResolvedPreset resolved;
	const int status = resolvePreset(preset, captureConsole(), resolved);
	if (status == 0)
		state.preset = std::move(resolved);
	return status;
}

int cvcamListCameras(std::ostream &out)
{
	CameraMonitor::keepUntilExit();
	std::vector<CameraInfo> cameras = findCameras();
	const bool standingIn = cameras.empty();
	if (standingIn)
		cameras.push_back(testPatternCamera());
	listCameras(cameras, standingIn, out);
	return 0;
}

GOptionGroup *cvcamOptionGroup()
{
	return gst_init_get_option_group();
}
