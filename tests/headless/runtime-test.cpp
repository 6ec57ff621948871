// The runtime in a real headless host: the stored scene list through a real ini file, the
// front-end event reactions, and the output controller's choices that need no server.

#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <obs.hpp>

#include "canvas/vertical-canvas.hpp"
#include "config/global-config.hpp"
#include "config/profile-config.hpp"
#include "config/scene-list-store.hpp"
#include "module/host-events.hpp"
#include "module/runtime.hpp"
#include "mux/mux-output.hpp"
#include "output/vertical-output.hpp"
#include "host-fixture.hpp"
#include "host-objects.hpp"

using namespace brasslight;
using bltest::LogCapture;
using bltest::module_lines;
using Names = std::vector<std::string>;

BL_HOST_ENVIRONMENT();

namespace {

class RuntimeTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		static const bool registered = (register_mux_output_type(), true);
		(void)registered;
		open_global_config(dir.file("settings-global.ini"));
		open_profile_config(dir.file("profile/brasslight-vertical-canvas.ini"));
		set_canvas_width(360);
		set_canvas_height(640);
		set_rtmp_url("rtmp://127.0.0.1:9/live");
		set_stream_key("runtime-test-key");
	}
	void TearDown() override
	{
		std::lock_guard<std::recursive_mutex> lock(runtime_lock);
		destroy_runtime(false);
		global_config.Close();
		profile_config.Close();
	}

	// Callers assert on the result: a failed build fails at once, not later on a null canvas.
	static bool build_runtime()
	{
		std::lock_guard<std::recursive_mutex> lock(runtime_lock);
		destroy_runtime(false);
		return create_runtime_from_current_profile();
	}

	// What the host's finished-loading event does to the canvas, on a fresh runtime.
	static bool rebuild_and_restore()
	{
		std::lock_guard<std::recursive_mutex> lock(runtime_lock);
		const bool built = build_runtime();
		reapply_scene_sources();
		return built;
	}

	std::string global_file() const { return bltest::read_file(dir.file("settings-global.ini")); }

	bltest::TempDir dir;
};

} // namespace

TEST_F(RuntimeTest, SceneListRoundTripsThroughTheGlobalFile)
{
	OBSSceneAutoRelease bands = bltest::make_band_scene("Bands");
	ASSERT_TRUE(build_runtime());
	ASSERT_TRUE(canvas->add_scene("Portrait Cam"));
	ASSERT_TRUE(canvas->add_scene("Chat"));
	ASSERT_TRUE(canvas->assign_scene_source("Portrait Cam", "Bands"));
	ASSERT_TRUE(canvas->set_active_scene("Chat"));
	save_scene_list_locked();
	EXPECT_EQ(global_file(),
		  "[Scenes]\ncount=3\nactivescene=Chat\nscene_0_name=Scene 1\nscene_0_source=\n"
		  "scene_1_name=Portrait Cam\nscene_1_source=Bands\nscene_2_name=Chat\nscene_2_source=\n");

	ASSERT_TRUE(rebuild_and_restore());
	EXPECT_EQ(canvas->scene_names(), (Names {"Scene 1", "Portrait Cam", "Chat"}));
	EXPECT_EQ(canvas->active_scene_name(), "Chat");
	EXPECT_EQ(canvas->scene_source_name("Portrait Cam"), "Bands");

	// Three slots, then one: the stale keys stay in the file, the restore reads only "count".
	ASSERT_TRUE(canvas->remove_scene("Scene 1"));
	ASSERT_TRUE(canvas->remove_scene("Chat"));
	save_scene_list_locked();
	const size_t from = LogCapture::get().mark();
	ASSERT_TRUE(rebuild_and_restore());
	EXPECT_EQ(canvas->scene_names(), Names {"Portrait Cam"});
	EXPECT_EQ(canvas->active_scene_name(), "Portrait Cam");
	// The stored source is assigned again once the host's scenes exist.
	EXPECT_TRUE(LogCapture::get().contains("Re-applying source 'Bands' → scene 'Portrait Cam'", from));
}

TEST_F(RuntimeTest, HandWrittenListsRestoreWhatMakesSense)
{
	// The [Scenes] section as written by hand; the slots restored, the active one, and a line that says why.
	const struct {
		const char *ini, *slots, *active, *logged;
	} rows[] = {
		{"", "Scene 1", "Scene 1", "No saved scenes — keeping default Scene 1"},
		{"count=3\nscene_0_name=A\nscene_1_name=\nscene_2_name=C\nscene_2_source=Nowhere\n", "A C", "A",
		 "Restored 3 scene(s), active: (none)"},
		{"count=2\nactivescene=\nscene_0_name=A\nscene_1_name=B\n", "A B", "A",
		 "Restored 2 scene(s), active: "},
		{"count=2\nactivescene=Scene 1\nscene_0_name=X\nscene_1_name=Scene 1\n", "X Scene 1", "Scene 1",
		 "Restored 2 scene(s), active: Scene 1"},
		{"count=1\nactivescene=Gone\nscene_0_name=A\n", "A", "A", "Restored 1 scene(s), active: Gone"},
		{"count=4000000000\nscene_0_name=Only\n", "Only", "Only",
		 "Stored scene count 4000000000 is implausible — reading the first 1000 only"},
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.ini);
		global_config.Close();
		bltest::write_file(dir.file("settings-global.ini"), std::string("[Scenes]\n") + row.ini);
		open_global_config(dir.file("settings-global.ini"));
		const size_t from = LogCapture::get().mark();
		ASSERT_TRUE(rebuild_and_restore());
		std::string slots;
		for (const std::string &name : canvas->scene_names())
			slots += (slots.empty() ? "" : " ") + name;
		EXPECT_EQ(slots, row.slots);
		EXPECT_EQ(canvas->active_scene_name(), row.active);
		EXPECT_TRUE(LogCapture::get().contains(row.logged, from)) << "no line " << row.logged;
	}
}

// Which encoder the controller picks: encoder-fallback-test.
TEST_F(RuntimeTest, IsBuiltOnceAndNeverStartsWithoutUrlOrKey)
{
	ASSERT_TRUE(build_runtime());
	VerticalCanvas *first = canvas.get();
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	// The user cleared the key after the output was created with one.
	set_stream_key("");
	apply_output_config();
	const size_t from = LogCapture::get().mark();
	EXPECT_FALSE(create_runtime_from_current_profile());
	EXPECT_EQ(canvas.get(), first);
	EXPECT_FALSE(output->start());
	EXPECT_FALSE(output->is_active());
	OBSDataAutoRelease after = obs_output_get_settings(output->output_handle());
	EXPECT_STREQ(obs_data_get_string(after, "key"), "runtime-test-key") << "the output's settings were touched";
	EXPECT_EQ(module_lines(from),
		  (Names {"create_runtime_from_current_profile called while runtime is still alive",
			  "Vertical output start failed: RTMP URL or key is empty. Configure them in "
			  "Tools → Brasslight Vertical Streaming Settings."}));
	destroy_runtime(false);
	EXPECT_FALSE(canvas || output);
}

// How the main stream's events start and stop the vertical stream, against a real server:
// vertical-stream-test.
TEST_F(RuntimeTest, AutoStartOffIgnoresTheMainStreamAndNestedEventsAreDropped)
{
	ASSERT_TRUE(build_runtime());
	set_auto_start_with_main(false);
	size_t from = LogCapture::get().mark();
	on_frontend_event(OBS_FRONTEND_EVENT_STREAMING_STARTING, nullptr);
	EXPECT_TRUE(module_lines(from).empty()) << "auto-start is off";
	set_auto_start_with_main(true);

	// An event that arrives while another is being handled is dropped, not queued: hold the
	// runtime lock so that one event waits inside the callback, then deliver a second.
	std::unique_lock<std::recursive_mutex> held(runtime_lock);
	std::thread waiting([] { on_frontend_event(OBS_FRONTEND_EVENT_EXIT, nullptr); });
	// Nothing outside the callback shows that the thread is waiting in it; give it ample time.
	// Were it late, the event below would run and the test fail: it cannot pass by accident.
	std::this_thread::sleep_for(std::chrono::milliseconds(300));
	from = LogCapture::get().mark();
	on_frontend_event(OBS_FRONTEND_EVENT_STREAMING_STARTING, nullptr);
	EXPECT_TRUE(module_lines(from).empty()) << "a second event ran while the first was being handled";
	held.unlock();
	waiting.join();
}

TEST_F(RuntimeTest, ProfileSwitchKeepsTheSlotsAndTakesTheNewCanvasSize)
{
	ASSERT_TRUE(build_runtime());
	ASSERT_TRUE(canvas->add_scene("Kept"));
	ASSERT_TRUE(canvas->set_active_scene("Kept"));
	const size_t from = LogCapture::get().mark();
	// Without the host's front end the new profile has no folder: its defaults apply.
	on_frontend_event(OBS_FRONTEND_EVENT_PROFILE_CHANGED, nullptr);
	ASSERT_TRUE(canvas);
	EXPECT_EQ(canvas->config().width, 1080u);
	EXPECT_EQ(canvas->config().height, 1920u);
	EXPECT_EQ(canvas->scene_names(), (Names {"Scene 1", "Kept"}));
	EXPECT_EQ(canvas->active_scene_name(), "Kept");
	const Names lines = module_lines(from);
	ASSERT_GE(lines.size(), 3u);
	EXPECT_EQ(Names(lines.begin(), lines.begin() + 3),
		  (Names {"OBS profile changed — rebuilding profile-specific runtime",
			  "Profile change — rebuilding vertical runtime", "Scene list saved (2 scene(s))"}));
}
