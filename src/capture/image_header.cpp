// Header walks for PNG, JPEG and BMP that find the size where the decoders find it: libjpeg's
// marker reader, libpng's first chunk and OpenCV's BMP reader. A walk that parts ways with its
// decoder would let a crafted file past the size check.
#include "image_header.h"

#include <cstring>
#include <limits>

namespace {

using Bytes = std::span<const unsigned char>;

std::uint32_t bigEndian(Bytes bytes, std::size_t at, int count)
{
	std::uint32_t value = 0;
	for (int i = 0; i < count; ++i)
		value = value << 8 | bytes[at + i];
	return value;
}

std::uint32_t littleEndian(Bytes bytes, std::size_t at, int count)
{
	std::uint32_t value = 0;
	for (int i = count - 1; i >= 0; --i)
		value = value << 8 | bytes[at + i];
	return value;
}

constexpr char exifPrefix[] = "Exif\0"; // and a second zero byte: 6 bytes in all
constexpr std::size_t exifPrefixBytes = 6;

// libjpeg's read_markers(): after SOI, each marker is found as next_marker() finds it (any bytes
// before an 0xFF are skipped, as are fill 0xFF bytes and a stuffed 0xFF 0x00), and the first
// start-of-frame gives the size. What libjpeg refuses before a frame header is refused here too.
void readJpeg(Bytes bytes, ImageHeader &header)
{
	std::size_t at = 2;
	const std::size_t end = bytes.size();
	for (;;) {
		int marker = 0;
		while (marker == 0) {
			while (at < end && bytes[at] != 0xFF)
				++at;
			while (at < end && bytes[at] == 0xFF)
				++at;
			if (at >= end) {
				header.fault = "its data ends before its frame header";
				return;
			}
			marker = bytes[at++];
		}
		// Markers without a length: restart markers and TEM.
		if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
			continue;
		if (marker == 0xD8) {
			header.fault = "it starts twice";
			return;
		}
		if (marker == 0xD9 || marker == 0xDA) {
			header.fault = "it has no frame header before its picture data";
			return;
		}
		const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 &&
				   marker != 0xC8 && marker != 0xCC;
		const bool skipped = marker == 0xC4 || marker == 0xCC || marker == 0xDB ||
				     marker == 0xDC || marker == 0xDD || marker >= 0xE0;
		if (!frame && !skipped) {
			// DHP, EXP, JPGn and the reserved markers, which libjpeg refuses.
			header.fault = "it holds a marker JPEG decoders do not know";
			return;
		}
		if (end - at < 2) {
			header.fault = "its data ends before its frame header";
			return;
		}
		std::size_t length = bigEndian(bytes, at, 2);
		if (length < 2) {
			// libjpeg reads on after the length of an APPn, COM or DNL segment too
			// short to hold itself, and refuses the tables that are.
			if (marker < 0xDC || marker == 0xDD) {
				header.fault = "one of its segments has an impossible length";
				return;
			}
			length = 2;
		}
		if (frame) {
			// Length, precision, height, width, components.
			if (end - at < 8) {
				header.fault = "its frame header is cut off";
				return;
			}
			header.height = bigEndian(bytes, at + 3, 2);
			header.width = bigEndian(bytes, at + 5, 2);
			if (header.width == 0 || header.height == 0)
				header.fault = "its frame header gives no size";
			return;
		}
		// The EXIF segment OpenCV reads the orientation from: the first APP1 that says so.
		if (marker == 0xE1 && header.exif.empty() && length >= 2 + exifPrefixBytes &&
		    end - at >= length &&
		    std::memcmp(bytes.data() + at + 2, exifPrefix, exifPrefixBytes) == 0)
			header.exif = bytes.subspan(at + 2 + exifPrefixBytes,
						    length - 2 - exifPrefixBytes);
		at += length;
		if (at > end) {
			header.fault = "its data ends before its frame header";
			return;
		}
	}
}

// libpng: IHDR first, 13 bytes, each side 1 to 2^31-1. The EXIF chunk comes before the data.
void readPng(Bytes bytes, ImageHeader &header)
{
	if (bytes.size() < 33 || bigEndian(bytes, 8, 4) != 13 ||
	    std::memcmp(bytes.data() + 12, "IHDR", 4) != 0) {
		header.fault = "its header is cut off or missing";
		return;
	}
	header.width = bigEndian(bytes, 16, 4);
	header.height = bigEndian(bytes, 20, 4);
	constexpr std::uint32_t largest = std::numeric_limits<std::int32_t>::max();
	if (header.width == 0 || header.height == 0 || header.width > largest ||
	    header.height > largest) {
		header.fault = "its header gives an impossible size";
		return;
	}
	for (std::size_t at = 33; bytes.size() - at >= 12;) {
		const std::size_t length = bigEndian(bytes, at, 4);
		const char *type = reinterpret_cast<const char *>(bytes.data() + at + 4);
		if (std::memcmp(type, "IDAT", 4) == 0 || std::memcmp(type, "IEND", 4) == 0 ||
		    length > bytes.size() - at - 12)
			return;
		if (std::memcmp(type, "eXIf", 4) == 0) {
			header.exif = bytes.subspan(at + 8, length);
			return;
		}
		at += 12 + length;
	}
}

// OpenCV's BmpDecoder::readHeader(): a 12-byte OS/2 header holds 16-bit sizes; one of 36 bytes or
// more holds 32-bit signed ones, a negative height meaning rows stored top first.
void readBmp(Bytes bytes, ImageHeader &header)
{
	if (bytes.size() < 26) {
		header.fault = "its header is cut off";
		return;
	}
	const std::uint32_t headerBytes = littleEndian(bytes, 14, 4);
	if (headerBytes == 12) {
		header.width = littleEndian(bytes, 18, 2);
		header.height = littleEndian(bytes, 20, 2);
	} else if (headerBytes >= 36 && headerBytes <= std::numeric_limits<std::int32_t>::max()) {
		const auto width = static_cast<std::int32_t>(littleEndian(bytes, 18, 4));
		const auto height = static_cast<std::int32_t>(littleEndian(bytes, 22, 4));
		// The lowest height has no positive counterpart: OpenCV's std::abs() of it is
		// undefined.
		if (width <= 0 || height == std::numeric_limits<std::int32_t>::min()) {
			header.fault = "its header gives an impossible size";
			return;
		}
		header.width = static_cast<std::uint32_t>(width);
		header.height = height < 0 ? 0U - static_cast<std::uint32_t>(height)
					   : static_cast<std::uint32_t>(height);
	} else {
		header.fault = "its header is of a kind BMP decoders do not know";
		return;
	}
	if (header.width == 0 || header.height == 0)
		header.fault = "its header gives an impossible size";
}

} // namespace

ImageHeader imageHeader(std::span<const unsigned char> bytes)
{
	ImageHeader header;
	// The signatures OpenCV's decoders check before they take a file.
	if (bytes.size() >= 8 && std::memcmp(bytes.data(), "\x89PNG\r\n\x1a\n", 8) == 0) {
		header.format = HeaderFormat::png;
		readPng(bytes, header);
	} else if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF) {
		header.format = HeaderFormat::jpeg;
		readJpeg(bytes, header);
	} else if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') {
		header.format = HeaderFormat::bmp;
		readBmp(bytes, header);
	}
	if (!header.sized()) {
		header.width = 0;
		header.height = 0;
	}
	return header;
}
