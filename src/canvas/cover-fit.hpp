#pragma once

#include <cstdint>

namespace brasslight {

// Where a source of w x h goes on a W x H canvas so that it covers the whole canvas, uniformly
// scaled and centred; the axis that overflows is cut by the canvas edges. pos is the top-left
// corner of the scaled source, negative on the overflowing axis.
struct CoverFit {
	float scale;
	float pos_x;
	float pos_y;
};

inline CoverFit cover_fit(uint32_t w, uint32_t h, uint32_t canvas_w, uint32_t canvas_h)
{
	float scale = 1.0f;
	if (w != 0 && h != 0) {
		const float sx = static_cast<float>(canvas_w) / static_cast<float>(w);
		const float sy = static_cast<float>(canvas_h) / static_cast<float>(h);
		scale = sx > sy ? sx : sy;
	}
	return {scale, (static_cast<float>(canvas_w) - static_cast<float>(w) * scale) * 0.5f,
		(static_cast<float>(canvas_h) - static_cast<float>(h) * scale) * 0.5f};
}

} // namespace brasslight
