// A frame's sequence number drawn into the picture as bright squares on dark, which the edge
// detector turns into rings, so that the timed viewer can tell from its painted window which frame
// it shows.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

// The block holds the number's low 16 bits. It sits in the top-left corner of the picture as the
// viewer shows it; everything in it is drawn, the dark between the squares too, so the picture
// underneath leaves no edge inside.
constexpr int frameCodeWidth = 288;
constexpr int frameCodeHeight = 48;

// Draws value's code. rowOf(r) gives the first byte of row r of the picture as shown (row 0 at the
// top) for r below frameCodeHeight; each pixel is pixelBytes bytes of one 8-bit value per channel.
// The picture must be at least frameCodeWidth wide.
void drawFrameCode(std::uint16_t value, const std::function<std::uint8_t *(int row)> &rowOf,
		   int pixelBytes);

// The value whose code lit(x, y) shows, x and y counted from the block's top-left corner, where
// lit says whether that pixel of the edge picture is an edge. None when the block holds no valid
// code: each bit is drawn twice, once as it is and once inverted, so a picture that merely has
// edges there is refused instead of being read as some number.
std::optional<std::uint16_t> readFrameCode(const std::function<bool(int x, int y)> &lit);
