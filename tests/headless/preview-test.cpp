// The preview widget with a real host display: the canvas letterboxed, the host scene cover-fitted.

#include <QApplication>
#include <QImage>
#include <QScreen>

#include <gtest/gtest.h>
#include <obs.hpp>

#include "ui/vertical-preview-widget.hpp"
#include "host-fixture.hpp"
#include "host-objects.hpp"
#include "ui-fixture.hpp"

using namespace brasslight;
using namespace std::chrono_literals;
using bltest::process_events_until;

// Built a second time for Wayland (preview-wayland-test), under a headless weston.
#ifdef BL_PREVIEW_ON_WAYLAND
BL_HOST_ENVIRONMENT(bltest::HostOptions {640, 360, 30, 1, true});
#else
BL_HOST_ENVIRONMENT();
#endif

namespace {

// Polls the colours the window shows down its middle column (at the edges and a quarter of the
// way in) and across its middle row until they are expected; what it showed last otherwise.
::testing::AssertionResult shows(QWidget *widget, const std::string &expected)
{
	std::string seen;
	const auto look = [&]() {
		// Wayland lets no client read the screen: the compositor's screenshooter takes the whole
		// output, which a full-screen widget covers.
		const QImage image = bltest::Host::get().options().wayland
					     ? bltest::wayland_screenshot()
					     : QGuiApplication::primaryScreen()->grabWindow(widget->winId()).toImage();
		const int w = image.width(), h = image.height();
		// Each channel clearly high (above 160) or low (below 90) makes a pure colour.
		const auto at = [&image](int x, int y) -> std::string {
			const QColor c = image.isNull() ? QColor(1, 1, 1) : image.pixelColor(x, y);
			std::string levels;
			for (const int v : {c.red(), c.green(), c.blue()})
				levels += v > 160 ? 'H' : v < 90 ? 'L' : '?';
			for (const auto &[pattern, name] :
			     {std::pair {"HLL", " red"}, {"LHL", " green"}, {"LLH", " blue"}, {"LLL", " black"}})
				if (levels == pattern)
					return name;
			return " rgb(" + std::to_string(c.red()) + "," + std::to_string(c.green()) + "," +
			       std::to_string(c.blue()) + ")";
		};
		seen = "column:";
		for (const int y : {2, h / 4, h / 2, h * 3 / 4, h - 3})
			seen += at(w / 2, y);
		seen += "; row:";
		for (const int x : {2, w / 2, w - 3})
			seen += at(x, h / 2);
		return seen == expected;
	};
	if (process_events_until(look, 10s))
		return ::testing::AssertionSuccess();
	return ::testing::AssertionFailure() << "last seen " << seen;
}

using PreviewTest = bltest::UiTest;

} // namespace

TEST_F(PreviewTest, ShowsTheCanvasLetterboxedAndTheHostSceneCoverFitted)
{
	// A 3:4 canvas in a 180x320 widget: 180x240 with bars of 40 px above and below. The 16:9
	// three-band host scene is cover-fitted, its sides cut: red at the left edge, green in the
	// middle, blue at the right. Contained, or with the canvas's sides swapped, the picture would
	// not reach a quarter of the way in. Also run at a scale factor of 2 and on Wayland.
	set_canvas_width(240);
	ASSERT_TRUE(build_runtime());
	OBSSceneAutoRelease bands = bltest::make_band_scene("Preview Bands");
	ASSERT_TRUE(canvas->assign_scene_source("Scene 1", "Preview Bands"));
	VerticalPreviewWidget preview(canvas.get());
	preview.resize(180, 320);
	const bool wayland = bltest::Host::get().options().wayland;
	wayland ? preview.showFullScreen() : preview.show();
	EXPECT_TRUE(shows(&preview, "column: black green green green black; row: red green blue"));
	if (!wayland) { // a window can take any size: 240x320 centred in 400x320, bars at the sides
		preview.resize(400, 320);
		EXPECT_TRUE(shows(&preview, "column: green green green green green; row: black green black"));
		EXPECT_EQ(preview.paintEngine(), nullptr) << "Qt would paint over the display";
		// The display exists exactly while the widget is shown.
		preview.hide();
		EXPECT_FALSE(preview.hasDisplay());
		preview.show();
		EXPECT_TRUE(preview.hasDisplay());
	}
	// No canvas: only the background.
	preview.setCanvas(nullptr);
	EXPECT_TRUE(shows(&preview, "column: black black black black black; row: black black black"));
}
