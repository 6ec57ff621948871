// The runtime in a headless host: the slot list read from a real ini file, the event guard,
// and the canvas following the host's scenes with track 6 left the user's. Saving the slots,
// the event reactions and renamed or switched host scenes: the real app's tests in tests/host.

#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "canvas/vertical-canvas.hpp"
#include "config/global-config.hpp"
#include "config/scene-list-store.hpp"
#include "module/host-events.hpp"
#include "module/hotkeys.hpp"
#include "module/runtime.hpp"
#include "mux/mux-output.hpp"
#include "host-fixture.hpp"
#include "host-objects.hpp"

using namespace brasslight;
using namespace bltest;

BL_HOST_ENVIRONMENT();

// A host scene has no mixer bits of its own: what it plays comes from the sources in it, here
// one media source nested a level deeper, whose mixer bits are what the tests look at.
static PublicScene scene_with_audio(const std::string &name, OBSSourceAutoRelease &media, uint32_t mixers)
{
	media = obs_source_create("ffmpeg_source", (name + " Media").c_str(), nullptr, nullptr);
	obs_source_set_audio_mixers(media, mixers);
	// The nested scene is private: only its holder, the outer scene, ever lets go of it.
	OBSSceneAutoRelease inner = obs_scene_create_private((name + " Inner").c_str());
	PublicScene scene = obs_scene_create(name.c_str());
	obs_scene_add(inner, media);
	obs_scene_add(scene, obs_scene_get_source(inner));
	return scene;
}

TEST(Runtime, HandWrittenSlotListsRestoreWhatMakesSense)
{
	// The slots restored ("name[=host scene], ..., active: name"), and a line that says why.
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
	TempDir dir;
	for (const auto &row : rows) {
		SCOPED_TRACE(row.ini);
		std::ofstream(dir.file("settings-global.ini")) << "[Scenes]\n" << row.ini;
		open_global_config(dir.file("settings-global.ini"));
		const size_t from = LogCapture::get().mark();
		// What the host's finished-loading event does, on a fresh canvas.
		destroy_runtime(false);
		canvas = std::make_unique<VerticalCanvas>(CanvasConfig {360, 640, 30, 1, true});
		ASSERT_TRUE(canvas->init());
		reapply_scene_sources();
		std::string slots;
		for (const std::string &name : canvas->scene_names()) {
			const std::string source = canvas->scene_source_name(name);
			slots += name + (source.empty() ? "" : "=" + source) + ", ";
		}
		EXPECT_EQ(slots + "active: " + canvas->active_scene_name(), row.slots);
		EXPECT_TRUE(LogCapture::get().contains(row.logged, from)) << "no line " << row.logged;
	}
	register_mux_output_type(); // what stops the build is the canvas that exists, not a missing type
	EXPECT_FALSE(create_runtime_from_current_profile()) << "built twice";
	// Saved whole over the stale list: every key a later start reads.
	PublicScene bands = make_band_scene("Bands");
	ASSERT_TRUE(canvas->add_scene("Cam") && canvas->assign_scene_source("Cam", "Bands"));
	ASSERT_TRUE(canvas->set_active_scene("Cam"));
	save_scene_list_locked();
	// From host 30 on, the host's config_save also writes keys that only have a registered default.
	EXPECT_EQ(read_file(dir.file("settings-global.ini")),
		  "[Scenes]\ncount=2\nscene_0_name=Only\nactivescene=Cam\nscene_0_source=\nscene_1_name=Cam\n"
		  "scene_1_source=Bands\n" +
			  (LIBOBS_API_MAJOR_VER >= 30 ? "\n" + kDockDefaultsSaved : ""));
	// A slot's key follows its rename also when a sync queued earlier runs between the canvas's rename
	// (on a websocket thread) and the notice of it (on the user-interface thread).
	config_set_string(global_config, "Hotkeys", "BrasslightVertical.Slot.Cam",
			  R"({"bindings":[{"key":"OBS_KEY_F8"}]})");
	register_hotkeys();
	ASSERT_TRUE(canvas->rename_scene("Cam", "Cue"));
	sync_slot_hotkeys();
	rename_slot_hotkey("Cam", "Cue");
	unregister_hotkeys();
	const char *moved = config_get_string(global_config, "Hotkeys", "BrasslightVertical.Slot.Cue");
	EXPECT_NE(std::string(moved ? moved : "").find("OBS_KEY_F8"), std::string::npos) << "the key stayed behind";
	destroy_runtime(false);
	global_config.Close();
}

TEST(Runtime, AnEventArrivingWhileAnotherIsHandledIsDropped)
{
	// One event waits inside the callback for the lock held here; a second, run, would log.
	std::unique_lock<std::recursive_mutex> held(runtime_lock);
	std::thread waiting([] { on_frontend_event(OBS_FRONTEND_EVENT_EXIT, nullptr); });
	// Ample time to get there; were it late, the event below would run: no pass by accident.
	std::this_thread::sleep_for(std::chrono::milliseconds(300));
	const size_t from = LogCapture::get().mark();
	on_frontend_event(OBS_FRONTEND_EVENT_PROFILE_CHANGED, nullptr);
	EXPECT_EQ(module_lines(from), std::vector<std::string>()) << "ran while the first was handled";
	held.unlock();
	waiting.join();
}

TEST(FollowHost, RemovedScenesAreLetGoAndReturnAndTrack6IsClearedOnlyWhereTheModuleSetIt)
{
	// The user put A's media on track 6 (0x20) themselves; B's is on track 1 only.
	const struct {
		bool route;
		uint32_t b_after[4]; // B active, Scene 1 active, B active, B's scene removed
	} rows[] = {{false, {0x01, 0x01, 0x01, 0x01}}, {true, {0x21, 0x01, 0x21, 0x01}}};
	OBSDataAutoRelease saved; // B's media as the host saves it with the module's bit on
	for (const auto &row : rows) {
		SCOPED_TRACE(row.route ? "routing on" : "routing off");
		OBSSourceAutoRelease a, b;
		PublicScene scene_a = scene_with_audio("A", a, 0x21);
		PublicScene scene_b = scene_with_audio("B", b, 0x01);
		VerticalCanvas canvas(CanvasConfig {360, 640, 30, 1, row.route});
		ASSERT_TRUE(canvas.init());
		ASSERT_TRUE(canvas.add_scene("B"));
		ASSERT_TRUE(canvas.assign_scene_source("Scene 1", "A"));
		ASSERT_TRUE(canvas.assign_scene_source("B", "B"));
		std::vector<bool> changes;
		canvas.set_host_change_handler([&changes](bool names_changed) { changes.push_back(names_changed); });
		const char *active[] = {"B", "Scene 1", "B"};
		for (int step = 0; step < 4; ++step) {
			if (step < 3)
				ASSERT_TRUE(canvas.set_active_scene(active[step]));
			else
				obs_source_remove(obs_scene_get_source(scene_b));
			EXPECT_EQ(obs_source_get_audio_mixers(b), row.b_after[step]) << "step " << step;
			EXPECT_EQ(obs_source_get_audio_mixers(a), 0x21u) << "step " << step;
			if (step == 0) // as the host writes it to its file: a copy, not the live settings
				saved = obs_data_create_from_json(
					obs_data_get_json(OBSDataAutoRelease(obs_save_source(b))));
		}
		// B's scene is let go at once, and shown again when a scene of that name returns, created
		// or renamed into the name. Neither saves: only a rename does.
		OBSWeakSourceAutoRelease gone = obs_source_get_weak_source(obs_scene_get_source(scene_b));
		scene_b = nullptr;
		EXPECT_FALSE(OBSSourceAutoRelease(obs_weak_source_get_source(gone))) << "the removed scene is alive";
		EXPECT_TRUE(canvas.scene_source_missing("B"));
		PublicScene back = obs_scene_create("B");
		EXPECT_EQ(canvas.active_source().Get(), obs_scene_get_source(back));
		canvas.release_scene_sources();
		obs_source_set_name(obs_scene_get_source(back), "Elsewhere");
		obs_source_set_name(obs_scene_get_source(back), "B");
		EXPECT_EQ(canvas.active_source().Get(), obs_scene_get_source(back));
		EXPECT_EQ(changes, (std::vector<bool> {false, false, false}));
		canvas.shutdown();
		EXPECT_EQ(obs_source_get_audio_mixers(a), 0x21u);
	}
	// Loaded in a later run, the saved bit is still the module's: off in a slot not shown, and
	// off again when the canvas goes.
	OBSSourceAutoRelease media = obs_load_source(saved);
	PublicScene scene = obs_scene_create("Saved");
	obs_scene_add(scene, media);
	{
		VerticalCanvas canvas(CanvasConfig {360, 640, 30, 1, true});
		ASSERT_TRUE(canvas.init());
		ASSERT_TRUE(canvas.add_scene("Saved"));
		ASSERT_TRUE(canvas.assign_scene_source("Saved", "Saved"));
		EXPECT_EQ(obs_source_get_audio_mixers(media), 0x01u);
		ASSERT_TRUE(canvas.set_active_scene("Saved"));
		EXPECT_EQ(obs_source_get_audio_mixers(media), 0x21u);
	}
	EXPECT_EQ(obs_source_get_audio_mixers(media), 0x01u) << "the canvas left its track 6 on";
}
