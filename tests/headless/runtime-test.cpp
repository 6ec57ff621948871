// The runtime in a real headless host: the stored slot list through a real ini file, and the
// front-end event guard. The rest of the event reactions (auto-start, profile switch, stop with
// the main stream) are checked in the real app: tests/host/test_e2e.py.

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "canvas/vertical-canvas.hpp"
#include "config/global-config.hpp"
#include "config/profile-config.hpp"
#include "config/scene-list-store.hpp"
#include "module/host-events.hpp"
#include "module/runtime.hpp"
#include "mux/mux-output.hpp"
#include "host-fixture.hpp"
#include "host-objects.hpp"

using namespace brasslight;
using bltest::LogCapture;

BL_HOST_ENVIRONMENT();

namespace {

class RuntimeTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		static const bool registered = (register_mux_output_type(), true);
		(void)registered;
		open_global_config(global_path);
		open_profile_config(dir.file("profile/brasslight-vertical-canvas.ini"));
		set_canvas_width(360);
		set_canvas_height(640);
	}
	void TearDown() override
	{
		destroy_runtime(false);
		global_config.Close();
		profile_config.Close();
	}

	// What the host's finished-loading event does, on a fresh runtime. Callers assert on the
	// result: a failed build fails at once, not later on a null canvas.
	static bool rebuild_and_restore()
	{
		std::lock_guard<std::recursive_mutex> lock(runtime_lock);
		destroy_runtime(false);
		const bool built = create_runtime_from_current_profile();
		reapply_scene_sources();
		return built;
	}

	// The slots as one line: "name[=host scene] ..., active: name".
	static std::string slots()
	{
		std::string out;
		for (const std::string &name : canvas->scene_names()) {
			const std::string source = canvas->scene_source_name(name);
			out += name + (source.empty() ? "" : "=" + source) + ", ";
		}
		return out + "active: " + canvas->active_scene_name();
	}

	bltest::TempDir dir;
	const std::string global_path = dir.file("settings-global.ini");
};

} // namespace

TEST_F(RuntimeTest, SlotListRoundTripsThroughTheGlobalFile)
{
	OBSSceneAutoRelease bands = bltest::make_band_scene("Bands");
	ASSERT_TRUE(rebuild_and_restore());
	VerticalCanvas *first = canvas.get();
	EXPECT_FALSE(create_runtime_from_current_profile()) << "built twice";
	EXPECT_EQ(canvas.get(), first);
	ASSERT_TRUE(canvas->add_scene("Portrait Cam"));
	ASSERT_TRUE(canvas->add_scene("Chat"));
	ASSERT_TRUE(canvas->assign_scene_source("Portrait Cam", "Bands"));
	ASSERT_TRUE(canvas->set_active_scene("Chat"));
	save_scene_list_locked();
	EXPECT_EQ(bltest::read_file(global_path),
		  "[Scenes]\ncount=3\nactivescene=Chat\nscene_0_name=Scene 1\nscene_0_source=\n"
		  "scene_1_name=Portrait Cam\nscene_1_source=Bands\nscene_2_name=Chat\nscene_2_source=\n");
	ASSERT_TRUE(rebuild_and_restore());
	EXPECT_EQ(slots(), "Scene 1, Portrait Cam=Bands, Chat, active: Chat");
}

TEST_F(RuntimeTest, HandWrittenListsRestoreWhatMakesSense)
{
	// The [Scenes] section as written by hand; the slots restored, and a line that says why.
	const struct {
		const char *ini, *slots, *logged;
	} rows[] = {
		{"", "Scene 1, active: Scene 1", "No saved scenes — keeping default Scene 1"},
		{"count=3\nscene_0_name=A\nscene_1_name=\nscene_2_name=C\nscene_2_source=Nowhere\n",
		 "A, C=Nowhere, active: A", "Restored 3 scene(s), active: (none)"},
		{"count=2\nactivescene=Scene 1\nscene_0_name=X\nscene_1_name=Scene 1\n", "X, Scene 1, active: Scene 1",
		 "Restored 2 scene(s), active: Scene 1"},
		// A list saved longer before: only "count" says where it ends.
		{"count=1\nactivescene=Gone\nscene_0_name=A\nscene_1_name=Stale\n", "A, active: A",
		 "Restored 1 scene(s), active: Gone"},
		{"count=4000000000\nscene_0_name=Only\n", "Only, active: Only",
		 "Stored scene count 4000000000 is implausible — reading the first 1000 only"},
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.ini);
		global_config.Close();
		bltest::write_file(global_path, std::string("[Scenes]\n") + row.ini);
		open_global_config(global_path);
		const size_t from = LogCapture::get().mark();
		ASSERT_TRUE(rebuild_and_restore());
		EXPECT_EQ(slots(), row.slots);
		EXPECT_TRUE(LogCapture::get().contains(row.logged, from)) << "no line " << row.logged;
	}
}

TEST_F(RuntimeTest, AnEventArrivingWhileAnotherIsHandledIsDropped)
{
	ASSERT_TRUE(rebuild_and_restore());
	// Hold the runtime lock so that one event waits inside the callback, then deliver a second:
	// run, it would log the auto-start.
	std::unique_lock<std::recursive_mutex> held(runtime_lock);
	std::thread waiting([] { on_frontend_event(OBS_FRONTEND_EVENT_EXIT, nullptr); });
	// Nothing outside the callback shows that the thread is waiting in it; give it ample time.
	// Were it late, the event below would run and the test fail: it cannot pass by accident.
	std::this_thread::sleep_for(std::chrono::milliseconds(300));
	const size_t from = LogCapture::get().mark();
	on_frontend_event(OBS_FRONTEND_EVENT_STREAMING_STARTING, nullptr);
	EXPECT_EQ(bltest::module_lines(from), std::vector<std::string>()) << "ran while the first was handled";
	held.unlock();
	waiting.join();
}
