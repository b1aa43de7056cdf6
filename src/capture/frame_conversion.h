// The program's own GStreamer element "bottomuprgb": a camera's frames to RGB stored bottom row
// first, converted and flipped in one pass. Known to this process only, by the name below.
//
// It takes YUY2, UYVY, YVYU, NV12, NV21, I420, YV12, RGB, BGR, RGBx, BGRx, xRGB, xBGR and GRAY8,
// honours the YUV matrix and range in the input caps, and gives RGB of the same width, height and
// frame rate. Chroma is used as it comes, one sample for each pixel it covers, as videoconvert's
// chroma-mode=none does.
#pragma once

// The element's factory name, for pipeline descriptions.
inline constexpr char frameConversionFactory[] = "bottomuprgb";

// Any thread, once gst_init has run. The first call registers the element; every call returns
// whether it is registered.
bool registerFrameConversion();
