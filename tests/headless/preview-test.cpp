// The preview widget with a real host display on the fixture's X server: its display follows
// show and hide, the picture is the canvas letterboxed and the host scene cover-fitted, and
// changing or tearing down the runtime while the display renders never draws a released source
// or a destroyed canvas (run under the sanitizer build too).

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <gtest/gtest.h>
#include <obs.hpp>

#include "ui/vertical-preview-widget.hpp"
#include "frame-grabber.hpp"
#include "gate-source.hpp"
#include "host-fixture.hpp"
#include "host-objects.hpp"
#include "ui-fixture.hpp"

using namespace brasslight;
using bltest::colour_name;
using bltest::LogCapture;
using bltest::process_events_until;

// 60 frames a second: twice the draws for the stress test to overlap with. Built a second time
// for Wayland (preview-wayland-test), under a headless weston.
#ifdef BL_PREVIEW_ON_WAYLAND
BL_HOST_ENVIRONMENT(bltest::HostOptions {640, 360, 60, 1, true});
#else
BL_HOST_ENVIRONMENT(bltest::HostOptions {640, 360, 60, 1});
#endif

namespace {

// A public host scene of many small colour sources: its draw takes long enough on llvmpipe that
// releases on the user-interface thread overlap draws under way on the graphics thread.
OBSSceneAutoRelease make_busy_scene(const std::string &name, uint32_t colour)
{
	OBSSceneAutoRelease scene = obs_scene_create(name.c_str());
	for (int i = 0; i < 48; ++i) {
		OBSSourceAutoRelease tile =
			bltest::make_colour_source(name + " tile " + std::to_string(i), colour, 96, 96);
		obs_scene_add(scene, tile);
	}
	return scene;
}

class PreviewTest : public bltest::UiTest {
protected:
	// The colours the window shows down its middle column (at the edges and a quarter of the way
	// in) and across its middle row.
	static std::string colours_of(QWidget *widget)
	{
		// Wayland lets no client read the screen: the compositor's screenshooter takes the whole
		// output, which a full-screen widget covers.
		const QImage image = bltest::Host::get().options().wayland
					     ? bltest::wayland_screenshot()
					     : QGuiApplication::primaryScreen()->grabWindow(widget->winId()).toImage();
		const int w = image.width(), h = image.height();
		std::string out = image.isNull() ? "(no picture)" : "column:";
		for (const auto &[x, y] : {std::pair {w / 2, 2},
					   {w / 2, h / 4},
					   {w / 2, h / 2},
					   {w / 2, h * 3 / 4},
					   {w / 2, h - 3},
					   {2, h / 2},
					   {w / 2, h / 2},
					   {w - 3, h / 2}}) {
			const QRgb pixel = image.isNull() ? 0 : image.pixel(x, y);
			out += (x == 2 ? "; row: " : " ") + colour_name({qRed(pixel), qGreen(pixel), qBlue(pixel)});
		}
		return out;
	}

	// Polls the window's picture until it shows expected, or says what it showed last.
	static ::testing::AssertionResult shows(QWidget *widget, const std::string &expected)
	{
		std::string seen;
		if (process_events_until([&] { return (seen = colours_of(widget)) == expected; },
					 std::chrono::seconds(10)))
			return ::testing::AssertionSuccess();
		return ::testing::AssertionFailure() << "last seen " << seen;
	}
};

} // namespace

TEST_F(PreviewTest, HasADisplayExactlyWhileShown)
{
	VerticalPreviewWidget preview(canvas.get());
	preview.resize(180, 320);
	size_t from = LogCapture::get().mark();
	preview.show();
	EXPECT_TRUE(preview.hasDisplay());
	EXPECT_EQ(LogCapture::get().count("[brasslight] VerticalPreviewWidget: display created (180x320)", from), 1u);

	from = LogCapture::get().mark();
	preview.hide();
	EXPECT_FALSE(preview.hasDisplay());
	EXPECT_EQ(LogCapture::get().count("[brasslight] VerticalPreviewWidget: display destroyed", from), 1u);

	from = LogCapture::get().mark();
	preview.resize(150, 300);
	preview.show();
	EXPECT_TRUE(preview.hasDisplay());
	EXPECT_EQ(LogCapture::get().count("[brasslight] VerticalPreviewWidget: display created (150x300)", from), 1u);
	EXPECT_EQ(preview.minimumSizeHint(), QSize(135, 240));
	EXPECT_EQ(preview.paintEngine(), nullptr);
}

TEST_F(PreviewTest, ShowsTheCanvasLetterboxedAndTheHostSceneCoverFitted)
{
	// A 3:4 canvas in a 9:16 widget of 180x320: scaled to 180x240, bars of 40 px above and below.
	// The 16:9 three-band host scene is cover-fitted to the canvas's height, so its sides are
	// cut: a strip of red at the left edge, green in the middle, blue at the right edge. Contained
	// instead, or with the canvas's sides swapped, the picture would not reach a quarter of the
	// way in. Also run at a scale factor of 2 (preview-test-scale-2) and on Wayland: the picture
	// must cover the whole widget there too.
	set_canvas_width(240);
	ASSERT_TRUE(build_runtime());
	OBSSceneAutoRelease bands = bltest::make_band_scene("Preview Bands");
	ASSERT_TRUE(canvas->assign_scene_source("Scene 1", "Preview Bands"));
	VerticalPreviewWidget preview(canvas.get());
	preview.resize(180, 320);
	bltest::Host::get().options().wayland ? preview.showFullScreen() : preview.show();
	EXPECT_TRUE(shows(&preview, "column: black green green green black; row: red green blue"));
	EXPECT_GT(preview.framesDrawn(), 0u);
	// No canvas: only the background.
	preview.setCanvas(nullptr);
	EXPECT_TRUE(shows(&preview, "column: black black black black black; row: black black black"));
}

TEST_F(PreviewTest, LettingGoOfTheCanvasNeverWaitsForADrawUnderWay)
{
	// The runtime's teardown hands the dock nulls while the graphics thread may be drawing the
	// preview. That hand-over must not wait for the draw (the teardown runs under the runtime
	// lock on the user-interface thread, which the host's own rendering paths may need), and
	// the draw must not need the canvas any more: it holds its own reference to the source.
	make_dock();
	bltest::GateSource gate("Gate");
	ASSERT_TRUE(gate.source());
	ASSERT_TRUE(canvas->assign_scene_source("Scene 1", gate.name()));
	gate.source() = nullptr;
	// On Wayland the display comes once the compositor has shown the window.
	auto *preview = dock->findChild<VerticalPreviewWidget *>();
	ASSERT_TRUE(process_events_until([&]() { return preview->hasDisplay(); }, std::chrono::seconds(10)));
	ASSERT_TRUE(gate.wait_entered(std::chrono::seconds(10))) << "no preview draw reached the source";

	dock->setRuntime(nullptr, nullptr);
	EXPECT_TRUE(gate.rendering()) << "letting go of the canvas waited for the draw to end";
	EXPECT_EQ(preview->currentCanvas(), nullptr);

	gate.open();
	{
		std::lock_guard<std::recursive_mutex> lock(runtime_lock);
		destroy_runtime(false);
	}
	EXPECT_TRUE(process_events_until([&]() { return gate.destroyed(); }, std::chrono::seconds(10)))
		<< "the source outlived the canvas and the draw";
	EXPECT_FALSE(gate.destroyed_while_rendering());
}

TEST_F(PreviewTest, ChangingAndTearingDownTheRuntimeWhileTheDisplayDrawsIsSafe)
{
	// Every source below is held by the canvas alone once assigned, so each reassignment or
	// removal can release the last reference while a draw is under way on the graphics thread;
	// each teardown destroys the canvas right after the dock let go of it. The sanitizer build
	// catches any use of what was freed; the host fixture reports leftovers at shutdown.
	make_dock();
	auto *preview = dock->findChild<VerticalPreviewWidget *>();
	ASSERT_NE(preview, nullptr);
	const uint32_t colours[] = {bltest::kRed, bltest::kGreen, bltest::kBlue};
	int made = 0;

	for (int cycle = 0; cycle < 4; ++cycle) {
		const uint64_t frames_before = preview->framesDrawn();
		for (int step = 0; step < 24; ++step) {
			const std::string name = "Stress " + std::to_string(made++);
			{
				OBSSceneAutoRelease scene = make_busy_scene(name, colours[step % 3]);
				ASSERT_TRUE(canvas->assign_scene_source(canvas->active_scene_name(), name));
			}
			switch (step % 6) {
			case 1:
				canvas->add_scene("Extra");
				canvas->set_active_scene("Extra");
				break;
			case 3:
				canvas->remove_scene(canvas->active_scene_name());
				if (canvas->scene_names().empty())
					canvas->add_scene("Scene 1");
				break;
			case 5:
				dock->hide();
				dock->show();
				break;
			default:
				break;
			}
			dock->refreshSceneList();
			QApplication::processEvents();
		}
		EXPECT_TRUE(process_events_until([&]() { return preview->framesDrawn() > frames_before; },
						 std::chrono::seconds(5)))
			<< "cycle " << cycle << ": the display drew nothing while the slots changed";

		// The runtime's teardown: the dock lets go first, then the runtime goes while the
		// display keeps drawing; then a new one comes.
		dock->setRuntime(nullptr, nullptr);
		ASSERT_TRUE(build_runtime());
		dock->setRuntime(canvas.get(), output.get());
	}

	// The widget's own end while it draws.
	const std::string name = "Stress last";
	{
		OBSSourceAutoRelease source = bltest::make_colour_source(name, bltest::kRed, 640, 360);
		ASSERT_TRUE(canvas->assign_scene_source("Scene 1", name));
	}
	const uint64_t frames_before = preview->framesDrawn();
	EXPECT_TRUE(process_events_until([&]() { return preview->framesDrawn() > frames_before; },
					 std::chrono::seconds(5)));
	dock.reset();
}
