#pragma once

#include <cstdint>

namespace brasslight {

// Where the canvas rectangle goes inside a display of cx x cy: scaled uniformly to fit, centred,
// the rest left as bars in the display's background colour.
struct PreviewViewport {
	float scale;
	uint32_t x;
	uint32_t y;
	uint32_t width;
	uint32_t height;
};

inline PreviewViewport preview_viewport(uint32_t canvas_w, uint32_t canvas_h, uint32_t cx, uint32_t cy)
{
	const float sx = static_cast<float>(cx) / static_cast<float>(canvas_w);
	const float sy = static_cast<float>(cy) / static_cast<float>(canvas_h);
	const float scale = sx < sy ? sx : sy;
	const auto width = static_cast<uint32_t>(scale * static_cast<float>(canvas_w));
	const auto height = static_cast<uint32_t>(scale * static_cast<float>(canvas_h));
	// A truncated float product can exceed the display by one pixel only in theory; the
	// subtraction must never wrap, so the size is bounded by the display.
	const uint32_t w = width > cx ? cx : width;
	const uint32_t h = height > cy ? cy : height;
	return {scale, (cx - w) / 2, (cy - h) / 2, w, h};
}

} // namespace brasslight
