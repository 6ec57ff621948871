// Where the preview puts the canvas inside its display.

#include <string>

#include <gtest/gtest.h>

#include "ui/preview-fit.hpp"

using namespace brasslight;

// Qt's QWIDGETSIZE_MAX: no width limit.
constexpr int kNone = 16777215;

TEST(PreviewFit, LetterboxesTheCanvasInsideTheDisplay)
{
	struct Row {
		uint32_t canvas_w, canvas_h, cx, cy;
		float scale;
		uint32_t x, y, w, h;
	};
	const Row rows[] = {
		{1080, 1920, 300, 400, 0.2083f, 37, 0, 225, 400},  // the worked example
		{1080, 1920, 225, 400, 0.2083f, 0, 0, 225, 400},   // exactly 9:16: no bars
		{1920, 1080, 300, 400, 0.1563f, 0, 116, 300, 168}, // a landscape canvas: bars above and below
		{360, 640, 720, 1280, 2.0f, 0, 0, 720, 1280},      // larger than the canvas
		{1080, 1920, 1, 1, 0.0005f, 0, 0, 0, 1},           // a display of one pixel
	};
	for (const Row &r : rows) {
		const PreviewViewport v = preview_viewport(r.canvas_w, r.canvas_h, r.cx, r.cy);
		const std::string row = std::to_string(r.canvas_w) + "x" + std::to_string(r.canvas_h) + " in " +
					std::to_string(r.cx) + "x" + std::to_string(r.cy);
		EXPECT_NEAR(v.scale, r.scale, 5e-5) << row;
		EXPECT_EQ(v.x, r.x) << row;
		EXPECT_EQ(v.y, r.y) << row;
		EXPECT_EQ(v.width, r.w) << row;
		EXPECT_EQ(v.height, r.h) << row;
	}
}
