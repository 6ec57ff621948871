// The preview widget with a real host display: the canvas letterboxed, the host scene cover-fitted,
// and a teardown of the runtime that neither waits for a draw under way nor pulls the source from
// under it.

#include <atomic>

#include <QApplication>
#include <QDockWidget>
#include <QImage>
#include <QMainWindow>
#include <QScreen>

#include <gtest/gtest.h>

#include "ui/vertical-preview-widget.hpp"
#include "host-fixture.hpp"
#include "host-objects.hpp"
#include "ui-fixture.hpp"

using namespace brasslight;
using namespace std::chrono_literals;
using namespace bltest;

// Built a second time for Wayland (preview-wayland-test), under a headless weston.
#ifdef BL_PREVIEW_ON_WAYLAND
BL_HOST_ENVIRONMENT(HostOptions {640, 360, 30, 1, true});
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
		const QImage image = Host::get().options().wayland
					     ? wayland_screenshot()
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
			return " " + c.name().toStdString();
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

// Whether the preview shows the band scene's green middle anywhere on the screen: the dock's place
// on it is the window manager's to choose.
bool green_on_screen()
{
	const QImage image = Host::get().options().wayland ? wayland_screenshot()
							   : QGuiApplication::primaryScreen()->grabWindow(0).toImage();
	int green = 0;
	for (int y = 0; y < image.height(); y += 2)
		for (int x = 0; x < image.width(); x += 2) {
			const QColor c = image.pixelColor(x, y);
			green += c.green() > 160 && c.red() < 90 && c.blue() < 90;
		}
	return green > 1000; // of every fourth pixel: about a 60 x 60 area
}

// FAKE, named as such: no real source can hold a draw at a chosen point; this one blocks its
// render until the gate opens (by itself after 20 s), but only when drawn into a display (a swap
// chain, not a texture of a mix), so a test can act while a preview draw is provably under way.
struct Gate {
	static inline std::atomic<bool> open {false}, entered {false}, destroyed {false};
	static inline std::atomic<int> rendering {0};

	static void register_type()
	{
		obs_source_info info = {};
		info.id = "bltest_gate_source";
		info.type = OBS_SOURCE_TYPE_INPUT;
		info.output_flags = OBS_SOURCE_VIDEO;
		info.get_name = [](void *) {
			return "Test gate";
		};
		info.create = [](obs_data_t *, obs_source_t *source) -> void * {
			return source;
		};
		info.destroy = [](void *) {
			destroyed = true;
		};
		info.get_width = [](void *) -> uint32_t {
			return 320;
		};
		info.get_height = [](void *) -> uint32_t {
			return 180;
		};
		info.video_render = [](void *, gs_effect_t *) {
			if (gs_get_render_target() != nullptr) // a mix renders into a texture of its own
				return;
			++rendering;
			entered = true;
			poll_until([] { return open.load(); }, 20s);
			--rendering;
		};
		obs_register_source(&info);
	}
};

using PreviewTest = UiTest;

} // namespace

TEST_F(PreviewTest, ShowsTheCanvasLetterboxedAndTheHostSceneCoverFitted)
{
	// A 3:4 canvas in a 180x320 widget: 180x240 with bars of 40 px above and below. The 16:9
	// three-band host scene is cover-fitted, its sides cut: red at the left edge, green in the
	// middle, blue at the right. Contained, or with the canvas's sides swapped, the picture would
	// not reach a quarter of the way in. Also run at a scale factor of 2 and on Wayland.
	profile().set_canvas_width(240);
	ASSERT_TRUE(build_runtime());
	PublicScene bands = make_band_scene("Preview Bands");
	ASSERT_TRUE(canvas()->assign_slot_scene("Scene 1", "Preview Bands"));
	VerticalPreviewWidget preview(canvas());
	preview.resize(180, 320);
	const bool wayland = Host::get().options().wayland;
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

TEST_F(PreviewTest, LettingGoOfTheCanvasNeverWaitsForADrawUnderWay)
{
	// The runtime's teardown hands the dock nulls while a preview draw may be under way. That must
	// not wait for the draw (it runs on the user-interface thread, which the host's rendering paths may
	// need), and the draw must not need the canvas any more: it holds its own source reference.
	make_dock();
	Gate::register_type();
	std::shared_ptr<void> opener(nullptr, [](void *) { Gate::open = true; });
	{
		OBSSourceAutoRelease source = obs_source_create("bltest_gate_source", "Gate", nullptr, nullptr);
		ASSERT_TRUE(canvas()->assign_slot_scene("Scene 1", "Gate"));
	}
	ASSERT_TRUE(poll_until([] { return Gate::entered.load(); }, 10s)) << "no preview draw reached the source";
	dock->setRuntime(nullptr);
	EXPECT_GT(Gate::rendering, 0) << "letting go of the canvas waited for the draw to end";
	EXPECT_EQ(dock->findChild<VerticalPreviewWidget *>()->currentCanvas(), nullptr);
	opener.reset();
	rt().destroy_runtime(false);
	EXPECT_TRUE(process_events_until([] { return Gate::destroyed.load(); }, 10s))
		<< "the source outlived the canvas and the draw";
}

TEST_F(PreviewTest, DrawsInADockInEveryWindowState)
{
	// In a main window at its own size (not maximized), floating, docked again, and shown after
	// being hidden. On Wayland each state gives the preview's surface another place (a subsurface
	// of another top-level, or a new surface), and Qt 5.15 tells a child window of few of them.
	profile().set_canvas_width(240);
	ASSERT_TRUE(build_runtime());
	PublicScene bands = make_band_scene("Dock Bands");
	ASSERT_TRUE(canvas()->assign_slot_scene("Scene 1", "Dock Bands"));
	// Framed as the module's registration frames the dock for host 29.
	QMainWindow window;
	auto *frame = new QDockWidget(QStringLiteral("Vertical Canvas"), &window);
	frame->setWidget(new VerticalDock(&rt(), frame));
	window.setCentralWidget(new QWidget(&window));
	window.addDockWidget(Qt::LeftDockWidgetArea, frame);
	window.resize(180, 320);
	window.show();
	auto *preview = frame->findChild<VerticalPreviewWidget *>();
	const auto drawn = [&preview](const char *state) {
		SCOPED_TRACE(state);
		EXPECT_TRUE(process_events_until([&] { return preview->hasDisplay(); }, 10s)) << "no display";
		EXPECT_TRUE(process_events_until(green_on_screen, 10s)) << "the canvas is not on screen";
	};
	drawn("docked");
	frame->setFloating(true);
	drawn("floating");
	frame->setFloating(false);
	drawn("docked again");
	frame->hide();
	EXPECT_TRUE(process_events_until([&] { return !preview->hasDisplay(); }, 10s));
	frame->show();
	drawn("shown again");
}
