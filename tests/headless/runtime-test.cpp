// The runtime in a headless host: the slot list read from a real ini file and written back whole,
// and the canvas following the host's scenes with track 6 left the user's. The event reactions
// and renamed or switched host scenes: the real app's tests in tests/host.

#include <fstream>

#include <gtest/gtest.h>

#include "canvas/vertical-canvas.hpp"
#include "module/hotkeys.hpp"
#include "mux/mux-output.hpp"
#include "runtime/runtime.hpp"
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

TEST(Runtime, HandWrittenSlotListsRestoreWhatMakesSenseAndASavedListLeavesNothingStale)
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
		// Hand-edited: a count that is no number loses no slot; a name used twice keeps both slots.
		{"count=abc\nscene_0_name=A\nscene_2_name=B\n", "A, B, active: A",
		 "Stored scene count 'abc' is not a number — reading every stored slot"},
		{"count=3\nscene_0_name=Cam\nscene_0_source=X\nscene_1_name=CAM\nscene_1_source=Y\nscene_2_name=Tab\there\n",
		 "Cam=X, CAM (2)=Y, Tab here, active: Cam",
		 "Stored slot name 'CAM' is taken or not allowed — restored as 'CAM (2)'"},
		{"count=4000000000\nscene_0_name=Only\n", "Only, active: Only",
		 "Stored scene count 4000000000 is implausible — reading the first 1000 only"},
	};
	register_mux_output_type();
	TempDir dir;
	Runtime runtime({});
	runtime.profile_config().open(dir.file("profile.ini"));
	runtime.profile_config().set_canvas_width(360);
	runtime.profile_config().set_canvas_height(640);
	for (const auto &row : rows) {
		SCOPED_TRACE(row.ini);
		std::ofstream(dir.file("settings-global.ini")) << "[Scenes]\n" << row.ini;
		runtime.global_config().open(dir.file("settings-global.ini"));
		const size_t from = LogCapture::get().mark();
		// What the host's finished-loading event does, on a fresh runtime.
		runtime.destroy_runtime(false);
		ASSERT_TRUE(runtime.create_runtime_from_current_profile());
		runtime.restore_slots();
		const VerticalCanvas &canvas = *runtime.canvas();
		std::string slots;
		for (const std::string &name : canvas.slot_names()) {
			const std::string source = canvas.slot_scene_name(name);
			slots += name + (source.empty() ? "" : "=" + source) + ", ";
		}
		EXPECT_EQ(slots + "active: " + canvas.active_slot_name(), row.slots);
		EXPECT_TRUE(LogCapture::get().contains(row.logged, from)) << "no line " << row.logged;
	}
	EXPECT_FALSE(runtime.create_runtime_from_current_profile()) << "built twice";
	// Saved whole over the stale list: every key a later start reads.
	PublicScene bands = make_band_scene("Bands");
	ASSERT_TRUE(runtime.add_slot("Cam").ok && runtime.assign_slot_scene("Cam", "Bands").ok);
	ASSERT_TRUE(runtime.activate_slot("Cam").ok);
	runtime.save_slots();
	// From host 30 on, the host's config_save also writes keys that only have a registered default.
	const std::string defaults = LIBOBS_API_MAJOR_VER >= 30 ? "\n" + kDockDefaultsSaved : "";
	EXPECT_EQ(read_file(dir.file("settings-global.ini")),
		  "[Scenes]\ncount=2\nscene_0_name=Only\nactivescene=Cam\nscene_0_source=\nscene_1_name=Cam\n"
		  "scene_1_source=Bands\n" +
			  defaults);
	// A shorter list leaves no keys of the slots it lost.
	ASSERT_TRUE(runtime.remove_slot("Only").ok);
	EXPECT_EQ(read_file(dir.file("settings-global.ini")),
		  "[Scenes]\ncount=1\nscene_0_name=Cam\nactivescene=Cam\nscene_0_source=Bands\n" + defaults);

	// Names come back exactly, edges and quotes included (the host's reader trims values), and a line
	// break in a host scene's name stays on one log line.
	const std::string odd[] = {"\"Quoted\" \\", " Two\nLines", "Cam "};
	std::vector<PublicScene> scenes;
	for (const std::string &name : odd)
		scenes.emplace_back(obs_scene_create(name.c_str()));
	const size_t from = LogCapture::get().mark();
	ASSERT_TRUE(runtime.add_slot(odd[0]).ok);
	for (const std::string &name : odd)
		ASSERT_TRUE(runtime.assign_slot_scene(odd[0], name).ok) << name;
	EXPECT_TRUE(LogCapture::get().contains("source assigned → ' Two\\x0ALines'", from));
	runtime.destroy_runtime(true);
	runtime.global_config().open(dir.file("settings-global.ini")); // read back from the file
	ASSERT_TRUE(runtime.create_runtime_from_current_profile());
	runtime.restore_slots();
	EXPECT_EQ(runtime.canvas()->slot_names(), (std::vector<std::string> {"Cam", odd[0]}));
	EXPECT_EQ(runtime.canvas()->slot_scene_name(odd[0]), odd[2]);
	EXPECT_EQ(runtime.canvas()->active_slot_name(), "Cam");
}

TEST(Runtime, SlotNamesAreOneBoundedLineUniqueWithoutCaseAndAtMostAHundred)
{
	Runtime runtime({});
	TempDir dir;
	runtime.profile_config().open(dir.file("profile.ini"));
	runtime.profile_config().set_canvas_width(180);
	runtime.profile_config().set_canvas_height(320);
	ASSERT_TRUE(runtime.create_runtime_from_current_profile());
	const struct {
		const char *name, *refusal;
	} rows[] = {
		{"Tab\there", "control character"},       {"C1 \xC2\x85 next line", "control character"},
		{"Broken \xC3", "not valid UTF-8"},       {"scene 1", "already exists"},
		{"Overlong \xC0\xAF", "not valid UTF-8"},
	};
	for (const auto &row : rows) {
		const ActionResult result = runtime.add_slot(row.name);
		EXPECT_NE(result.error.find(row.refusal), std::string::npos) << row.name << ": " << result.error;
	}
	const std::string longest(128, 'x');
	EXPECT_TRUE(runtime.add_slot(longest).ok);
	EXPECT_NE(runtime.add_slot(longest + "x").error.find("longer than 128"), std::string::npos);
	EXPECT_TRUE(runtime.rename_slot("Scene 1", "SCENE 1").ok) << "a change of case is the slot's own";
	EXPECT_FALSE(runtime.rename_slot("SCENE 1", longest.substr(0, 127) + "X").ok);
	for (int i = 2; i < 100; ++i)
		ASSERT_TRUE(runtime.add_slot("Slot " + std::to_string(i)).ok) << i;
	EXPECT_EQ(runtime.add_slot("One too many").error,
		  "there are 100 vertical slots already, as many as the dock holds");
}

TEST(Hotkeys, ASlotsHotkeyNameIsSafeInTheHostsIniFilesAndItsKeyFollowsARename)
{
	// The host writes each hotkey's name as a key of its basic.ini, unescaped, and compares keys
	// without regard to case: written and read back, every name must stay one key of its own.
	Runtime runtime({});
	TempDir dir;
	runtime.profile_config().open(dir.file("profile.ini"));
	runtime.profile_config().set_canvas_width(180);
	runtime.profile_config().set_canvas_height(320);
	runtime.global_config().open(dir.file("settings-global.ini"));
	// A binding stored by an earlier version, under the slot's own name.
	config_set_string(runtime.global_config().file(), "Hotkeys", "BrasslightVertical.Slot.Cam",
			  R"({"bindings":[{"key":"OBS_KEY_F8"}]})");
	ASSERT_TRUE(runtime.create_runtime_from_current_profile());
	for (const char *name : {"Cam", "a=b] #1; [Hotkeys]", "Intro", "x%41"})
		ASSERT_TRUE(runtime.canvas()->add_slot(name));
	Hotkeys hotkeys(runtime);
	ASSERT_TRUE(runtime.canvas()->rename_slot("Cam", "Cue"));
	hotkeys.rename_slot("Cam", "Cue");
	struct Seen {
		std::string name, description, bindings;
	};
	std::vector<Seen> seen;
	obs_enum_hotkeys(
		[](void *data, obs_hotkey_id id, obs_hotkey_t *hotkey) {
			if (std::string(obs_hotkey_get_name(hotkey)).rfind("BrasslightVertical.", 0) != 0)
				return true; // the host's own, such as the replay buffer's
			OBSDataArrayAutoRelease bindings = obs_hotkey_save(id);
			OBSDataAutoRelease wrapped = obs_data_create();
			obs_data_set_array(wrapped, "b", bindings);
			static_cast<std::vector<Seen> *>(data)->push_back({obs_hotkey_get_name(hotkey),
									   obs_hotkey_get_description(hotkey),
									   obs_data_get_json(wrapped)});
			return true;
		},
		&seen);
	ConfigFile basic;
	ASSERT_EQ(basic.Open(dir.file("basic.ini").c_str(), CONFIG_OPEN_ALWAYS), CONFIG_SUCCESS);
	for (const Seen &hotkey : seen)
		config_set_string(basic, "Hotkeys", hotkey.name.c_str(), hotkey.description.c_str());
	ASSERT_EQ(basic.Save(), CONFIG_SUCCESS);
	ASSERT_EQ(basic.Open(dir.file("basic.ini").c_str(), CONFIG_OPEN_EXISTING), CONFIG_SUCCESS);
	EXPECT_EQ(config_num_sections(basic), 1u);
	for (const Seen &hotkey : seen) {
		EXPECT_STREQ(config_get_string(basic, "Hotkeys", hotkey.name.c_str()), hotkey.description.c_str());
		// The old binding moved to the slot, and followed it through the rename.
		const bool cue = hotkey.description == "Vertical scene: Cue";
		EXPECT_EQ(hotkey.bindings.find("OBS_KEY_F8") != std::string::npos, cue) << hotkey.description;
	}
	EXPECT_EQ(seen.size(), 12u) << "seven fixed and one per slot";
	EXPECT_FALSE(config_has_user_value(runtime.global_config().file(), "Hotkeys", "BrasslightVertical.Slot.Cam"));
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
		// Host scenes of each row's own names: from host 30 on, the host destroys a released scene on a
		// thread of its own, and the last row's may still hold its name.
		const std::string host_a = row.route ? "A routed" : "A", host_b = row.route ? "B routed" : "B";
		PublicScene scene_a = scene_with_audio(host_a, a, 0x21);
		PublicScene scene_b = scene_with_audio(host_b, b, 0x01);
		VerticalCanvas canvas(CanvasConfig {360, 640, 30, 1, row.route});
		ASSERT_TRUE(canvas.init());
		ASSERT_TRUE(canvas.add_slot("B"));
		ASSERT_TRUE(canvas.assign_slot_scene("Scene 1", host_a));
		ASSERT_TRUE(canvas.assign_slot_scene("B", host_b));
		std::vector<bool> changes;
		canvas.set_host_change_handler([&changes](bool names_changed) { changes.push_back(names_changed); });
		const char *active[] = {"B", "Scene 1", "B"};
		for (int step = 0; step < 4; ++step) {
			if (step < 3)
				ASSERT_TRUE(canvas.set_active_slot(active[step]));
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
		EXPECT_TRUE(canvas.slot_scene_missing("B"));
		PublicScene back = obs_scene_create(host_b.c_str());
		EXPECT_EQ(canvas.active_source().Get(), obs_scene_get_source(back));
		canvas.release_slot_scenes();
		obs_source_set_name(obs_scene_get_source(back), (host_b + " elsewhere").c_str());
		obs_source_set_name(obs_scene_get_source(back), host_b.c_str());
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
		ASSERT_TRUE(canvas.add_slot("Saved"));
		ASSERT_TRUE(canvas.assign_slot_scene("Saved", "Saved"));
		EXPECT_EQ(obs_source_get_audio_mixers(media), 0x01u);
		ASSERT_TRUE(canvas.set_active_slot("Saved"));
		EXPECT_EQ(obs_source_get_audio_mixers(media), 0x21u);
	}
	EXPECT_EQ(obs_source_get_audio_mixers(media), 0x01u) << "the canvas left its track 6 on";
}
