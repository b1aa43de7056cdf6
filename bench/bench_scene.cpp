// A synthetic but camera-like scene: smooth light, objects with soft and hard borders, print, and
// fabric-like texture. Random per-pixel noise would make Canny's work unrepresentative.
#include "bench_scene.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

cv::Mat detailedScene(cv::Size size)
{
	const double w = size.width;
	const double h = size.height;
	const double unit = h / 480.0; // everything scales with the height
	cv::Mat scene(size, CV_8UC3);

	// A wall lit from the top left.
	for (int y = 0; y < size.height; ++y) {
		auto *row = scene.ptr<cv::Vec3b>(y);
		for (int x = 0; x < size.width; ++x) {
			const double light = 1.0 - 0.5 * (x / w + y / h) / 2;
			row[x] = cv::Vec3b(static_cast<uchar>(200 * light),
					   static_cast<uchar>(180 * light),
					   static_cast<uchar>(150 * light));
		}
	}

	// Woven texture on a cloth and stripes on a book spine.
	const cv::Rect cloth(static_cast<int>(0.05 * w), static_cast<int>(0.6 * h),
			     static_cast<int>(0.4 * w), static_cast<int>(0.35 * h));
	for (int y = cloth.y; y < cloth.y + cloth.height; ++y) {
		auto *row = scene.ptr<cv::Vec3b>(y);
		for (int x = cloth.x; x < cloth.x + cloth.width; ++x) {
			const double weave =
				std::sin(x / (1.5 * unit)) * std::sin(y / (1.5 * unit));
			const auto shade = static_cast<uchar>(120 + 90 * weave);
			row[x] = cv::Vec3b(shade, static_cast<uchar>(shade / 2), 60);
		}
	}
	// A brick wall behind, top right: mortar lines every few pixels.
	const cv::Rect wall(static_cast<int>(0.5 * w), 0, static_cast<int>(0.5 * w),
			    static_cast<int>(0.6 * h));
	const int brickHeight = std::max(4, static_cast<int>(12 * unit));
	for (int y = wall.y; y < wall.y + wall.height; y += brickHeight) {
		const int shift = (y / brickHeight) % 2 ? brickHeight : 0;
		cv::line(scene, cv::Point(wall.x, y), cv::Point(wall.x + wall.width, y),
			 cv::Scalar(90, 80, 70), 1);
		for (int x = wall.x + shift; x < wall.x + wall.width; x += 2 * brickHeight)
			cv::line(scene, cv::Point(x, y), cv::Point(x, y + brickHeight),
				 cv::Scalar(90, 80, 70), 1);
	}
	for (int i = 0; i < 12; ++i) {
		const int x = static_cast<int>(0.62 * w + i * 8 * unit);
		cv::rectangle(scene,
			      cv::Rect(x, static_cast<int>(0.1 * h), static_cast<int>(6 * unit),
				       static_cast<int>(0.45 * h)),
			      cv::Scalar(40 + 15 * i, 90, 200 - 12 * i), cv::FILLED, cv::LINE_AA);
	}

	// Objects: hard-edged and low-contrast ones, so both thresholds matter.
	cv::RNG rng(20240607);
	for (int i = 0; i < 60; ++i) {
		const cv::Point centre(static_cast<int>(rng.uniform(0.0, 1.0) * w),
				       static_cast<int>(rng.uniform(0.0, 1.0) * h));
		const int radius = static_cast<int>(rng.uniform(4.0, 50.0) * unit);
		const int base = rng.uniform(40, 220);
		const int contrast = rng.uniform(5, 70);
		const cv::Scalar colour(base, base - contrast / 2, base + contrast);
		if (i % 3 == 0)
			cv::circle(scene, centre, radius, colour, cv::FILLED, cv::LINE_AA);
		else if (i % 3 == 1)
			cv::rectangle(scene, cv::Rect(centre, cv::Size(radius * 2, radius)), colour,
				      cv::FILLED);
		else
			cv::ellipse(scene, centre, cv::Size(radius, radius / 2), i * 17.0, 0, 360,
				    colour, std::max(1, static_cast<int>(2 * unit)), cv::LINE_AA);
	}

	// Print: a headline and lines of small text.
	cv::putText(scene, "Edge viewer",
		    cv::Point(static_cast<int>(0.05 * w), static_cast<int>(0.12 * h)),
		    cv::FONT_HERSHEY_DUPLEX, 1.4 * unit, cv::Scalar(20, 20, 20),
		    std::max(1, static_cast<int>(2 * unit)), cv::LINE_AA);
	for (int line = 0; line < 8; ++line)
		cv::putText(scene, "the quick brown fox jumps over the lazy dog 0123456789",
			    cv::Point(static_cast<int>(0.05 * w),
				      static_cast<int>(0.2 * h + line * 14 * unit)),
			    cv::FONT_HERSHEY_PLAIN, 0.8 * unit, cv::Scalar(30, 30, 60), 1,
			    cv::LINE_AA);

	// A camera's optics: slightly soft.
	cv::GaussianBlur(scene, scene, cv::Size(3, 3), 0.6);
	return scene;
}
