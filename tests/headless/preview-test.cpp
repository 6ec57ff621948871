// The preview widget with a real host display: the canvas letterboxed, the host scene cover-fitted,
// and no draw of a released source or a destroyed canvas while the runtime changes or goes (run
// under the sanitizer build too).

#include <atomic>

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <gtest/gtest.h>
#include <obs.hpp>

#include "ui/vertical-preview-widget.hpp"
#include "frame-grabber.hpp"
#include "host-fixture.hpp"
#include "host-objects.hpp"
#include "ui-fixture.hpp"

using namespace brasslight;
using namespace std::chrono_literals;
using bltest::process_events_until;

// 60 frames a second: twice the draws for the stress test to overlap with. Built a second time
// for Wayland (preview-wayland-test), under a headless weston.
#ifdef BL_PREVIEW_ON_WAYLAND
BL_HOST_ENVIRONMENT(bltest::HostOptions {640, 360, 60, 1, true});
#else
BL_HOST_ENVIRONMENT(bltest::HostOptions {640, 360, 60, 1});
#endif

namespace {

// FAKE, named as such: no real source can hold a draw at a chosen point; this one blocks its
// render until the gate opens (by itself after 20 s), but only when drawn into a display (a swap
// chain, not a texture of a mix), so a test can act while a preview draw is provably under way.
struct Gate {
	static inline std::atomic<bool> open {false}, entered {false}, destroyed {false};
	static inline std::atomic<int> rendering {0};

	static const char *name(void *) { return "Test gate"; }
	static void *create(obs_data_t *, obs_source_t *source) { return source; }
	static void destroy(void *) { destroyed = true; }
	static uint32_t width(void *) { return 320; }
	static uint32_t height(void *) { return 180; }
	static void render(void *, gs_effect_t *)
	{
		// A display draws into its swap chain; a mix renders into a texture of its own.
		if (gs_get_render_target() != nullptr)
			return;
		++rendering;
		entered = true;
		bltest::poll_until([] { return open.load(); }, 20s);
		--rendering;
	}
	static void register_type()
	{
		obs_source_info info = {};
		info.id = "bltest_gate_source";
		info.type = OBS_SOURCE_TYPE_INPUT;
		info.output_flags = OBS_SOURCE_VIDEO;
		info.get_name = name;
		info.create = create;
		info.destroy = destroy;
		info.get_width = width;
		info.get_height = height;
		info.video_render = render;
		obs_register_source(&info);
	}
};

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
		const auto at = [&image](int x, int y) {
			const QRgb pixel = image.isNull() ? 0 : image.pixel(x, y);
			return " " + bltest::colour_name({qRed(pixel), qGreen(pixel), qBlue(pixel)});
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
	bltest::Host::get().options().wayland ? preview.showFullScreen() : preview.show();
	EXPECT_TRUE(shows(&preview, "column: black green green green black; row: red green blue"));
	// No canvas: only the background.
	preview.setCanvas(nullptr);
	EXPECT_TRUE(shows(&preview, "column: black black black black black; row: black black black"));
}

TEST_F(PreviewTest, LettingGoOfTheCanvasNeverWaitsForADrawUnderWay)
{
	// The runtime's teardown hands the dock nulls while a preview draw may be under way. That must
	// not wait for the draw (it runs under the runtime lock, which the host's rendering paths may
	// need), and the draw must not need the canvas any more: it holds its own source reference.
	make_dock();
	Gate::register_type();
	std::shared_ptr<void> opener(nullptr, [](void *) { Gate::open = true; });
	{
		OBSSourceAutoRelease source = obs_source_create("bltest_gate_source", "Gate", nullptr, nullptr);
		ASSERT_TRUE(canvas->assign_scene_source("Scene 1", "Gate"));
	}
	auto *preview = dock->findChild<VerticalPreviewWidget *>();
	ASSERT_TRUE(bltest::poll_until([] { return Gate::entered.load(); }, 10s))
		<< "no preview draw reached the source";

	dock->setRuntime(nullptr, nullptr);
	EXPECT_GT(Gate::rendering, 0) << "letting go of the canvas waited for the draw to end";
	EXPECT_EQ(preview->currentCanvas(), nullptr);

	opener.reset();
	{
		std::lock_guard<std::recursive_mutex> lock(runtime_lock);
		destroy_runtime(false);
	}
	EXPECT_TRUE(process_events_until([] { return Gate::destroyed.load(); }, 10s))
		<< "the source outlived the canvas and the draw";
}

TEST_F(PreviewTest, ChangingAndTearingDownTheRuntimeWhileTheDisplayDrawsIsSafe)
{
	// Every source below is held by the canvas alone once assigned, so each reassignment or
	// removal can release the last reference while a draw is under way on the graphics thread;
	// each teardown destroys the canvas right after the dock let go of it. The sanitizer build
	// catches any use of what was freed; the host fixture reports leftovers at shutdown.
	make_dock();
	auto *preview = dock->findChild<VerticalPreviewWidget *>();
	EXPECT_EQ(preview->paintEngine(), nullptr) << "Qt would paint over the display";
	const auto draws = [preview](const std::string &when) {
		const uint64_t before = preview->framesDrawn();
		EXPECT_TRUE(process_events_until([&]() { return preview->framesDrawn() > before; }, 5s)) << when;
	};

	for (int cycle = 0; cycle < 4; ++cycle) {
		for (int step = 0; step < 24; ++step) {
			const std::string name = "Stress " + std::to_string(cycle * 24 + step);
			{
				OBSSceneAutoRelease scene =
					make_busy_scene(name, step % 2 ? bltest::kRed : bltest::kBlue);
				ASSERT_TRUE(canvas->assign_scene_source(canvas->active_scene_name(), name));
			}
			if (step % 6 == 1) {
				canvas->add_scene("Extra");
				canvas->set_active_scene("Extra");
			} else if (step % 6 == 3) {
				canvas->remove_scene(canvas->active_scene_name());
				if (canvas->scene_names().empty())
					canvas->add_scene("Scene 1");
			} else if (step % 6 == 5) {
				// The display exists exactly while the widget is shown.
				dock->hide();
				EXPECT_FALSE(preview->hasDisplay());
				dock->show();
				EXPECT_TRUE(preview->hasDisplay());
			}
			dock->refreshSceneList();
			QApplication::processEvents();
		}
		draws("cycle " + std::to_string(cycle) + ": the display drew nothing while the slots changed");

		// The runtime's teardown: the dock lets go first, then the runtime goes while the
		// display keeps drawing; then a new one comes.
		dock->setRuntime(nullptr, nullptr);
		ASSERT_TRUE(build_runtime());
		dock->setRuntime(canvas.get(), output.get());
	}

	// The widget's own end while it draws.
	{
		OBSSourceAutoRelease source = bltest::make_colour_source("Stress last", bltest::kRed, 640, 360);
		ASSERT_TRUE(canvas->assign_scene_source("Scene 1", "Stress last"));
	}
	draws("the last source");
	dock.reset();
}
