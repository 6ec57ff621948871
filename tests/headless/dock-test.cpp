// The dock on a real canvas and output controller: what it shows of the slots and the stream,
// which buttons it enables with and without a runtime, and that every call into the canvas
// uses a slot's plain name.

#include <QAbstractButton>
#include <QApplication>
#include <QFont>
#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>
#include <obs.hpp>

#include "module/host-events.hpp"
#include "ui/vertical-preview-widget.hpp"
#include "host-fixture.hpp"
#include "rtmp-server.hpp"
#include "ui-fixture.hpp"

using namespace brasslight;
using namespace std::chrono_literals;
using bltest::capture_message_box;
using bltest::utf8;
using Texts = std::vector<std::string>;

BL_HOST_ENVIRONMENT();

namespace {

class DockTest : public bltest::UiTest {
protected:
	std::string header() const { return utf8(dock->findChildren<QLabel *>().value(0)->text()); }
	std::string status() const { return utf8(dock->findChildren<QLabel *>().value(2)->text()); }

	// "text / style / + Add=1 - Remove=1 ..." of the status line and buttons, for one assertion.
	std::string status_seen() const
	{
		std::string out = status() + " / " + utf8(dock->findChildren<QLabel *>().value(2)->styleSheet()) + " /";
		for (const char *text : {"+ Add", "- Remove", "Rename", "Assign OBS Scene", "Start", "Stop"})
			out += std::string(" ") + text +
			       (bltest::find_button(dock.get(), text)->isEnabled() ? "=1" : "=0");
		return out;
	}
};

} // namespace

TEST_F(DockTest, AFreshDockShowsTheDefaultSlotFillsAnySizeAndWithoutARuntimeDisablesAll)
{
	make_dock();
	EXPECT_EQ(utf8(dock->objectName()), "BrasslightVerticalCanvasDock");
	EXPECT_EQ(utf8(dock->windowTitle()), "Vertical Canvas");
	EXPECT_EQ(std::make_pair(dock->minimumWidth(), dock->maximumWidth()), std::make_pair(270, 540));
	EXPECT_EQ(item_texts(), Texts {"\u25BA Scene 1"});
	EXPECT_EQ(list()->item(0)->font().weight(), QFont::Bold);
	EXPECT_EQ(header(), "Scene: Scene 1");
	EXPECT_EQ(status_seen(), "Stopped / font-size: 11px; color: #888; / "
				 "+ Add=1 - Remove=1 Rename=1 Assign OBS Scene=1 Start=1 Stop=0");
	// Every control has a name a screen reader can say.
	for (QWidget *widget : dock->findChildren<QWidget *>()) {
		const bool control = qobject_cast<QAbstractButton *>(widget) || widget == list() ||
				     widget->inherits("brasslight::VerticalPreviewWidget");
		EXPECT_TRUE(!control || !widget->accessibleName().isEmpty()) << widget->metaObject()->className();
	}

	// The preview fills the dock at every size, and the layout settles.
	auto *preview = dock->findChild<VerticalPreviewWidget *>();
	struct ResizeCounter : QObject {
		int n = 0;
		bool eventFilter(QObject *, QEvent *e) override { return (n += e->type() == QEvent::Resize), false; }
	} resizes;
	preview->installEventFilter(&resizes);
	const auto settle = []() {
		for (int i = 0; i < 50; ++i)
			QApplication::processEvents();
	};
	// Narrow and tall to wide and short; the dock's margins are 4 on each side.
	for (const QSize size : {QSize(270, 900), QSize(300, 600), QSize(413, 640), QSize(540, 700), QSize(540, 480)}) {
		dock->resize(size);
		settle();
		const int after_layout = resizes.n;
		settle();
		const std::string at = std::to_string(size.width()) + "x" + std::to_string(size.height());
		EXPECT_EQ(resizes.n, after_layout) << at << ": still relaying out";
		EXPECT_EQ(preview->width(), dock->width() - 8) << at;
		EXPECT_EQ(preview->geometry(), preview->parentWidget()->rect()) << at;
	}

	dock->setRuntime(nullptr, nullptr);
	EXPECT_EQ(item_texts(), Texts {});
	EXPECT_EQ(header(), "No active scene");
	EXPECT_EQ(status_seen(), "No output / font-size: 11px; color: #888; / "
				 "+ Add=0 - Remove=0 Rename=0 Assign OBS Scene=0 Start=0 Stop=0");

	// A profile switch: a new runtime, here without slots, is handed in.
	ASSERT_TRUE(build_runtime());
	ASSERT_TRUE(canvas->remove_scene("Scene 1"));
	dock->setRuntime(canvas.get(), output.get());
	EXPECT_EQ(item_texts(), Texts {});
	EXPECT_EQ(header(), "No active scene");
	EXPECT_EQ(status_seen(), "Stopped / font-size: 11px; color: #888; / "
				 "+ Add=1 - Remove=0 Rename=0 Assign OBS Scene=0 Start=1 Stop=0");
}

TEST_F(DockTest, ItemsMarkTheActiveSlotAndNameTheirHostSceneAndAClickOrEnterOrSpaceActivatesThePlainName)
{
	OBSSceneAutoRelease cam = obs_scene_create("Cam");
	for (const char *name : {"Main", "Alt"})
		ASSERT_TRUE(canvas->add_scene(name) && canvas->assign_scene_source(name, "Cam"));
	ASSERT_TRUE(canvas->set_active_scene("Main"));
	ASSERT_TRUE(canvas->add_scene("Gone"));
	ASSERT_FALSE(canvas->assign_scene_source("Gone", "Deleted"));
	make_dock();
	EXPECT_EQ(item_texts(), (Texts {" Scene 1", "\u25BA Main [Cam]", " Alt [Cam]", " Gone [Deleted] (missing)"}));
	EXPECT_EQ(utf8(list()->item(1)->toolTip()), "Main [Cam]");
	for (int i = 0; i < list()->count(); ++i)
		EXPECT_EQ(list()->item(i)->font().weight() == QFont::Bold, i == 1) << "row " << i;
	EXPECT_EQ(header(), "Scene: Main");

	// A click on an item, then on the active item again: the canvas gets the plain name.
	for (int i = 0; i < 2; ++i) {
		click_item("Alt");
		EXPECT_EQ(canvas->active_scene_name(), "Alt");
		EXPECT_EQ(item_texts(),
			  (Texts {" Scene 1", " Main [Cam]", "\u25BA Alt [Cam]", " Gone [Deleted] (missing)"}));
		EXPECT_EQ(header(), "Scene: Alt");
	}
	// A click chooses; it does not store (the next change or teardown does).
	EXPECT_EQ(global_file().find("activescene=Alt"), std::string::npos);

	// Arrow keys only move the selection; Enter and Space switch. After each key: "selected / active".
	list()->setFocus();
	for (const auto &[key, expected] : {std::pair {Qt::Key_Down, "Gone / Alt"},
					    {Qt::Key_Return, "Gone / Gone"},
					    {Qt::Key_Up, "Alt / Gone"},
					    {Qt::Key_Up, "Main / Gone"},
					    {Qt::Key_Space, "Main / Main"}}) {
		QTest::keyClick(list(), key);
		EXPECT_EQ(utf8(dock->selectedSceneName()) + " / " + canvas->active_scene_name(), expected)
			<< "key " << key;
	}
}

TEST_F(DockTest, ARefusedStartSaysWhyInTheStatusLineAndAFailedAutoStartOnceInABox)
{
	set_stream_key("");
	apply_output_config();
	make_dock();
	const size_t from = bltest::LogCapture::get().mark();
	press("Start");
	EXPECT_EQ(bltest::LogCapture::get().count("[brasslight] Dock: failed to start vertical output", from), 1u);
	EXPECT_EQ(status_seen(), "Not started: no server URL or stream key / font-size: 11px; color: #e57373; / "
				 "+ Add=1 - Remove=1 Rename=1 Assign OBS Scene=1 Start=1 Stop=0");
	// The user asked from the dock and sees the status line: no box for that.
	EXPECT_FALSE(capture_message_box(500ms).shown);

	// Each start of the main stream that the vertical stream cannot follow: one box.
	for (int start = 0; start < 2; ++start) {
		on_frontend_event(OBS_FRONTEND_EVENT_STREAMING_STARTING, nullptr);
		const bltest::ShownBox box = capture_message_box(5s);
		EXPECT_EQ(box.title + "\n" + box.text, "Vertical Canvas \u2014 Stream Error\n"
						       "The vertical stream did not start with the main stream.\n\n"
						       "Not started: no server URL or stream key")
			<< "main-stream start " << start;
		EXPECT_FALSE(capture_message_box(500ms).shown) << "a second box";
	}
	// Never set up at all (no URL, no key): the status line says so, no box at every main start.
	set_rtmp_url("");
	apply_output_config();
	on_frontend_event(OBS_FRONTEND_EVENT_STREAMING_STARTING, nullptr);
	EXPECT_FALSE(capture_message_box(500ms).shown) << "box without any target";
	dock->updateStatus();
	EXPECT_EQ(status(), "Not started: no server URL or stream key");
	// A settings change may have removed the reason: the line no longer claims it.
	set_stream_key("now-set");
	apply_output_config();
	dock->updateStatus();
	EXPECT_EQ(status(), "Stopped");
}

TEST_F(DockTest, StatusFollowsTheOutputWhoeverStartsOrStopsIt)
{
	bltest::RtmpServer server;
	ASSERT_TRUE(server.start());
	set_rtmp_url(server.rtmp_url().c_str());
	set_stream_key("dock");
	set_video_bitrate(800);
	set_encoder_preset("ultrafast");
	ASSERT_TRUE(build_runtime()); // the encoders take the bitrate and preset when they are made
	make_dock();
	const std::string streaming = "Streaming / font-size: 11px; color: #4caf50; font-weight: bold; / "
				      "+ Add=1 - Remove=1 Rename=1 Assign OBS Scene=1 Start=0 Stop=1";
	const std::string stopped = "Stopped / font-size: 11px; color: #888; / "
				    "+ Add=1 - Remove=1 Rename=1 Assign OBS Scene=1 Start=1 Stop=0";
	const auto shows = [this](const std::string &expected) {
		bltest::process_events_until([&]() { return status_seen() == expected; }, 10s);
		EXPECT_EQ(status_seen(), expected);
	};

	// From the dock's own buttons.
	press("Start");
	shows(streaming);
	std::string last;
	EXPECT_TRUE(server.wait_publishing("dock", 20s, &last)) << last;
	press("Stop");
	shows(stopped);

	// Changes the dock did not cause (the main stream's start and stop): only its timer sees them.
	ASSERT_TRUE(output->start());
	shows(streaming);
	output->stop();
	shows(stopped);
}
