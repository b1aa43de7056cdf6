// The capture interface over GStreamer: camera list, per-camera properties, one running pipeline.
// Every entry point runs on the main thread; only CapturePipeline deals with the streaming thread.
#include "cvcam.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "camera_list.h"
#include "capture_pipeline.h"

namespace {

struct CameraSettings {
	bool enabled = false;
	bool render = false;
	const int *renderWidth = nullptr; // borrowed from the caller until cvcamExit()
	const int *renderHeight = nullptr;
	CvcamFrameCallback callback = nullptr;
};

struct CaptureLayer {
	std::vector<CameraInfo> cameras;
	std::vector<CameraSettings> settings; // one per camera
	std::unique_ptr<CapturePipeline> pipeline;
};

// Main thread only.
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

void report(const std::string &message)
{
	std::fprintf(stderr, "edge-viewer: %s\n", message.c_str());
}

} // namespace

int cvcamSelectCamera(std::vector<int> &cameraList)
{
	CaptureLayer &state = layer();
	state.cameras = findCameras();
	state.settings.assign(state.cameras.size(), CameraSettings{});
	cameraList.clear();
	if (!state.cameras.empty())
		cameraList.push_back(0);
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
	if (!knownCamera(camera) || !property)
		return -1;
	// TODO: the video-format page; until it exists the camera's default format is used.
	return std::strcmp(property, "video_pp") == 0 ? 0 : -1;
}

int cvcamInit()
{
	CaptureLayer &state = layer();
	if (state.pipeline)
		return 0;
	for (std::size_t index = 0; index < state.settings.size(); ++index) {
		if (!state.settings[index].enabled)
			continue;
		std::string error;
		state.pipeline = CapturePipeline::create(state.cameras[index],
							 state.settings[index].callback, error);
		if (!state.pipeline) {
			report("failed to set up " + state.cameras[index].name + ": " + error);
			return -1;
		}
		return 0;
	}
	return -1;
}

int cvcamStart()
{
	CaptureLayer &state = layer();
	if (!state.pipeline)
		return -1;
	std::string error;
	if (!state.pipeline->start(error)) {
		report("failed to start the camera: " + error);
		return -1;
	}
	return 0;
}

int cvcamStop()
{
	if (layer().pipeline)
		layer().pipeline->stop();
	return 0;
}

int cvcamExit()
{
	CaptureLayer &state = layer();
	state.pipeline.reset();
	state.settings.assign(state.cameras.size(), CameraSettings{});
	return 0;
}
