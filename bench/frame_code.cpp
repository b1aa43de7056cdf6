// The block code that identifies a painted frame.
#include "frame_code.h"

#include <cstring>

namespace {

// Canny draws one ring around each square, a few pixels inside its cell, so a cell holds edges
// only of its own square and the cells' rings never touch.
constexpr int cellSize = 16;
constexpr int squareOffset = 4;
constexpr int squareSize = 8;
constexpr int margin = 8;

// Each row: a marker cell that is always lit, then eight bits, each as the pair (bit, not bit).
constexpr int bitsPerRow = 8;
constexpr int cellsPerRow = 1 + 2 * bitsPerRow;
constexpr int rows = 2;
static_assert(frameCodeWidth == 2 * margin + cellsPerRow * cellSize);
static_assert(frameCodeHeight == 2 * margin + rows * cellSize);

// A ring has about 30 edge pixels; a cell with a few stray ones is neither lit nor dark.
constexpr int litPixels = 12;

// Whether cell column of row is lit for value.
bool cellLit(std::uint16_t value, int row, int column)
{
	if (column == 0)
		return true;
	const int bit = row * bitsPerRow + (column - 1) / 2;
	const bool set = (value >> bit) & 1;
	return (column % 2 == 1) == set;
}

// The edge pixels inside a cell, its neighbours' rings left out.
int edgePixels(const std::function<bool(int x, int y)> &lit, int row, int column)
{
	const int left = margin + column * cellSize;
	const int top = margin + row * cellSize;
	int count = 0;
	for (int y = top + 1; y < top + cellSize - 1; ++y)
		for (int x = left + 1; x < left + cellSize - 1; ++x)
			count += lit(x, y) ? 1 : 0;
	return count;
}

} // namespace

void drawFrameCode(std::uint16_t value, const std::function<std::uint8_t *(int row)> &rowOf,
		   int pixelBytes)
{
	const auto rowBytes = static_cast<std::size_t>(frameCodeWidth * pixelBytes);
	for (int y = 0; y < frameCodeHeight; ++y) {
		std::uint8_t *line = rowOf(y);
		std::memset(line, 0, rowBytes);
		const int inner = y - margin;
		if (inner < 0 || inner >= rows * cellSize)
			continue;
		const int row = inner / cellSize;
		const int within = inner % cellSize;
		if (within < squareOffset || within >= squareOffset + squareSize)
			continue;
		for (int column = 0; column < cellsPerRow; ++column) {
			if (!cellLit(value, row, column))
				continue;
			const int left = margin + column * cellSize + squareOffset;
			std::memset(line + static_cast<std::ptrdiff_t>(left) * pixelBytes, 0xff,
				    static_cast<std::size_t>(squareSize * pixelBytes));
		}
	}
}

std::optional<std::uint16_t> readFrameCode(const std::function<bool(int x, int y)> &lit)
{
	const auto state = [&](int row, int column) -> int {
		const int count = edgePixels(lit, row, column);
		return count >= litPixels ? 1 : count == 0 ? 0 : -1;
	};
	std::uint16_t value = 0;
	for (int row = 0; row < rows; ++row) {
		if (state(row, 0) != 1)
			return std::nullopt;
		for (int bit = 0; bit < bitsPerRow; ++bit) {
			const int plain = state(row, 1 + 2 * bit);
			const int inverted = state(row, 2 + 2 * bit);
			if (plain < 0 || inverted < 0 || plain == inverted)
				return std::nullopt;
			if (plain == 1)
				value = static_cast<std::uint16_t>(value |
								   1u << (row * bitsPerRow + bit));
		}
	}
	return value;
}
