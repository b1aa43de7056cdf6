// The camera-selection dialog.
#include "camera_choice.h"

#include <algorithm>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <string>

#include "video_formats.h"

namespace {

std::string shownPath(const CameraInfo &camera)
{
	return camera.devicePath.empty() ? "(no device node)" : camera.devicePath;
}

// The indices in answer, or why there are none: every word must be a camera's index.
bool parseChoice(const std::string &answer, std::size_t count, std::vector<int> &chosen,
		 std::string &problem)
{
	std::istringstream words(answer);
	std::string word;
	chosen.clear();
	while (words >> word) {
		std::size_t used = 0;
		int index = -1;
		try {
			index = std::stoi(word, &used);
		} catch (const std::exception &) {
			used = 0;
		}
		if (used != word.size() || index < 0 || static_cast<std::size_t>(index) >= count) {
			problem = "\"" + word +
				  "\" is not a camera number; enter numbers from 0 to " +
				  std::to_string(count - 1) + ", or q to quit";
			return false;
		}
		// A camera named twice is used once.
		if (std::find(chosen.begin(), chosen.end(), index) == chosen.end())
			chosen.push_back(index);
	}
	return true;
}

} // namespace

std::vector<int> chooseCameras(std::vector<CameraInfo> &cameras, Console &console)
{
	if (cameras.empty()) {
		cameras.push_back(testPatternCamera());
		*console.out << noCameraNote;
		return { 0 };
	}
	if (cameras.size() == 1 || !console.isTerminal)
		return { 0 };

	std::ostream &out = *console.out;
	out << "Cameras found:\n";
	for (std::size_t index = 0; index < cameras.size(); ++index)
		out << "  " << index << "  " << cameras[index].name << "  "
		    << shownPath(cameras[index]) << "\n";
	for (;;) {
		out << "Which camera? One number, or several separated by spaces"
		       " (Enter: 0, q: quit): "
		    << std::flush;
		std::string answer;
		if (!readAnswer(console, answer))
			return {};
		if (answer.empty())
			return { 0 };
		if (answer == "q" || answer == "Q")
			return {};
		std::vector<int> chosen;
		std::string problem;
		if (parseChoice(answer, cameras.size(), chosen, problem))
			return chosen;
		out << problem << "\n";
	}
}

void listCameras(const std::vector<CameraInfo> &cameras, bool standingIn, std::ostream &out)
{
	for (std::size_t index = 0; index < cameras.size(); ++index) {
		const CameraInfo &camera = cameras[index];
		out << (index ? "\n" : "") << index << "  " << camera.name << "  "
		    << (standingIn ? "(built in; no camera was found, so it stands in)"
				   : shownPath(camera))
		    << "\n";
		const GstCapsPtr caps = capsOfferedBy(camera);
		const std::vector<VideoFormat> formats = formatsFromCaps(caps.get());
		if (formats.empty())
			out << "    (lists no formats)\n";
		for (std::size_t i = 0; i < formats.size(); ++i)
			out << "    " << std::setw(2) << i << "  " << formatLine(formats[i])
			    << "\n";
	}
}
