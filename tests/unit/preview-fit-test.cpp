// Where the preview puts the canvas inside its display.

#include <gtest/gtest.h>

#include "ui/preview-fit.hpp"

using namespace brasslight;

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
		SCOPED_TRACE(testing::Message() << r.canvas_w << "x" << r.canvas_h << " in " << r.cx << "x" << r.cy);
		EXPECT_NEAR(v.scale, r.scale, 5e-5);
		EXPECT_EQ((std::vector<uint32_t> {v.x, v.y, v.width, v.height}),
			  (std::vector<uint32_t> {r.x, r.y, r.w, r.h}));
	}
}
