// Realistic frames for the benchmarks: a rendered scene with edges of every strength.
#pragma once

#include <opencv2/core.hpp>

// An 8-bit RGB scene of the given size: gradients, shapes, text and textured patches, laid out in
// proportion to the size so every size shows the same picture. Deterministic.
cv::Mat detailedScene(cv::Size size);
