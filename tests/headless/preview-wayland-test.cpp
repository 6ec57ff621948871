// The preview on Wayland, the default desktop session of the common distributions: under a
// headless weston the host display is made on the widget's own Wayland surface, it draws, and the
// compositor shows the canvas letterboxed in the widget with the host scene cover-fitted.

#include <QDir>
#include <QImage>

#include <gtest/gtest.h>

#include "ui/vertical-preview-widget.hpp"
#include "child-process.hpp"
#include "frame-grabber.hpp"
#include "host-fixture.hpp"
#include "host-objects.hpp"
#include "ui-fixture.hpp"

using namespace brasslight;

BL_HOST_ENVIRONMENT(bltest::HostOptions {640, 360, 30, 1, true});

namespace {

// The compositor's whole output (640 x 640), through weston's screenshooter.
QImage screenshot()
{
	bltest::TempDir dir("bl-shot");
	const bltest::CommandResult shot = bltest::run_command(
		{"sh", "-c", "cd '" + dir.path() + "' && weston-screenshooter"}, std::chrono::seconds(20));
	const QStringList files = QDir(QString::fromStdString(dir.path())).entryList({"*.png"});
	if (shot.exit_code != 0 || files.isEmpty()) {
		ADD_FAILURE() << "weston-screenshooter: " << shot.output;
		return {};
	}
	return QImage(QString::fromStdString(dir.file(files.first().toStdString())));
}

std::string row_colours(const QImage &image, std::initializer_list<int> xs)
{
	std::string out;
	for (int x : xs) {
		const QRgb pixel = image.pixel(x, image.height() / 2);
		out += (out.empty() ? "" : " ") + bltest::colour_name({qRed(pixel), qGreen(pixel), qBlue(pixel)});
	}
	return out;
}

} // namespace

using PreviewWaylandTest = bltest::UiTest;

TEST_F(PreviewWaylandTest, DrawsOnTheWidgetsOwnSurface)
{
	{
		std::lock_guard<std::recursive_mutex> lock(runtime_lock);
		destroy_runtime(false);
		set_canvas_width(240);
		set_canvas_height(320);
		ASSERT_TRUE(create_runtime_from_current_profile());
	}
	OBSSceneAutoRelease bands = bltest::make_band_scene("Wayland Bands");
	ASSERT_TRUE(canvas->assign_scene_source("Scene 1", "Wayland Bands"));

	// Full screen, the window has the whole 640 x 640 output: the 3:4 canvas is 480 x 640
	// in the middle, bars of 80 on each side, and its own cut-off band edges (red, then blue)
	// are a sixth of its width wide.
	VerticalPreviewWidget preview(canvas.get());
	preview.showFullScreen();
	ASSERT_TRUE(
		bltest::process_events_until([&]() { return preview.framesDrawn() > 10; }, std::chrono::seconds(15)))
		<< "display " << (preview.hasDisplay() ? "made" : "not made") << ", no frames drawn";
	EXPECT_EQ(preview.size(), QSize(640, 640));

	const std::string expected = "black red green blue black";
	std::string seen;
	EXPECT_TRUE(bltest::process_events_until(
		[&]() {
			const QImage image = screenshot();
			seen = image.isNull() ? "(no picture)" : row_colours(image, {2, 100, 320, 540, 637});
			return seen == expected;
		},
		std::chrono::seconds(15)))
		<< "last seen " << seen;
}
