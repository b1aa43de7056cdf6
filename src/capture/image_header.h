// The size a PNG, JPEG or BMP file's header claims, read from its bytes the way the decoders
// OpenCV uses read it, so that a picture is known to fit before anything is decoded.
#pragma once

#include <cstdint>
#include <span>
#include <string>

enum class HeaderFormat { other, jpeg, png, bmp };

struct ImageHeader {
	HeaderFormat format = HeaderFormat::other;
	// Set for JPEG, PNG and BMP: the header's size in pixels, or why the decoder would not get
	// that far, in a user's words ("its header is cut off").
	std::uint32_t width = 0;
	std::uint32_t height = 0;
	std::string fault;
	// The EXIF data (TIFF header first) found before the picture data of a JPEG or PNG, which
	// says which way up it was taken; empty when there is none. Points into the bytes read.
	std::span<const unsigned char> exif;

	bool sized() const { return format != HeaderFormat::other && fault.empty(); }
	// Without overflow for any two 32-bit values.
	std::uint64_t pixels() const { return std::uint64_t{ width } * height; }
};

// The header of the image in bytes (the whole file, or at least its headers). Pure: no decoder
// runs.
ImageHeader imageHeader(std::span<const unsigned char> bytes);
