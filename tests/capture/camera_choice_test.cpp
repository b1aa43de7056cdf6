// The camera-selection dialog over a list of cameras and a scripted console.
#include "capture/camera_choice.h"

#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

struct Dialog {
	const char *name;
	int cameras;
	bool terminal;
	const char *input;
	std::vector<int> chosen;
	int questions;	  // how often the question is asked
	const char *said; // a line the dialog must print, or empty
};

void PrintTo(const Dialog &dialog, std::ostream *out)
{
	*out << dialog.name;
}

class CameraChoice : public testing::TestWithParam<Dialog>
{
};

std::size_t count(const std::string &text, const std::string &what)
{
	std::size_t found = 0;
	for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
		++found;
	return found;
}

} // namespace

// Catches a dialog that asks when it must not (one camera, no terminal), takes the wrong cameras,
// accepts an invalid answer, or does not cancel on "q" or the end of input.
TEST_P(CameraChoice, ChoosesAsTheUserSays)
{
	const Dialog &dialog = GetParam();
	std::vector<CameraInfo> cameras;
	for (int i = 0; i < dialog.cameras; ++i)
		cameras.push_back(CameraInfo{ .name = "Cam " + std::to_string(i),
					      .devicePath = "/dev/video" + std::to_string(i),
					      .device = nullptr,
					      .sourceDescription = "videotestsrc" });
	std::istringstream in(dialog.input);
	std::ostringstream out;
	Console console{ &in, &out, dialog.terminal };

	EXPECT_EQ(chooseCameras(cameras, console), dialog.chosen);
	const std::string said = out.str();
	EXPECT_EQ(count(said, "Which camera?"), static_cast<std::size_t>(dialog.questions)) << said;
	if (dialog.questions > 0) {
		EXPECT_NE(said.find("  1  Cam 1  /dev/video1\n"), std::string::npos) << said;
	}
	EXPECT_NE(said.find(dialog.said), std::string::npos) << said;
}

INSTANTIATE_TEST_SUITE_P(
	Dialogs, CameraChoice,
	testing::Values(
		Dialog{ "OneCameraIsTakenWithoutAsking", 1, true, "1\n", { 0 }, 0, "" },
		Dialog{ "NoTerminalTakesTheFirst", 3, false, "2\n", { 0 }, 0, "" },
		Dialog{ "EnterTakesTheFirst", 3, true, "\n", { 0 }, 1, "" },
		Dialog{ "SeveralInTheOrderGiven", 3, true, " 2 0 2\n", { 2, 0 }, 1, "" },
		Dialog{ "InvalidAnswersAskAgain",
			3,
			true,
			"x\n3\n-1\n1\n",
			{ 1 },
			4,
			"\"3\" is not a camera number; enter numbers from 0 to 2, or q to quit\n" },
		Dialog{ "QCancels", 2, true, "q\n0\n", {}, 1, "" },
		Dialog{ "EndOfInputCancels", 2, true, "", {}, 1, "" },
		Dialog{ "EndOfInputAfterAnInvalidAnswerCancels", 2, true, "7", {}, 2, "" }),
	[](const testing::TestParamInfo<Dialog> &param) { return param.param.name; });

// Catches a machine without cameras ending with nothing to show, or showing it without a word.
TEST(CameraChoiceWithoutCameras, ChoosesTheTestPatternAndSaysSo)
{
	std::vector<CameraInfo> cameras;
	std::istringstream in;
	std::ostringstream out;
	Console console{ &in, &out, true };
	EXPECT_EQ(chooseCameras(cameras, console), std::vector<int>{ 0 });
	ASSERT_EQ(cameras.size(), 1u);
	EXPECT_EQ(cameras[0].name, testPatternCamera().name);
	EXPECT_EQ(out.str(), "edge-viewer: no camera found; showing the built-in test pattern\n");
}
