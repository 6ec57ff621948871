// The canvas follows the host's scenes through the host's own signals, and track 6 stays the
// user's wherever the module did not set it. Renames, removals and collection switches in the
// real app: tests/host/test_automation.py.

#include <gtest/gtest.h>
#include <obs.hpp>

#include "canvas/vertical-canvas.hpp"
#include "host-fixture.hpp"
#include "host-objects.hpp"

using namespace brasslight;

BL_HOST_ENVIRONMENT();

namespace {

// A host scene has no mixer bits of its own: what it plays comes from the sources in it, here
// one media source nested a level deeper, whose mixer bits are what the tests look at.
OBSSceneAutoRelease scene_with_audio(const char *name, OBSSourceAutoRelease &media, uint32_t mixers)
{
	media = obs_source_create("ffmpeg_source", (std::string(name) + " Media").c_str(), nullptr, nullptr);
	obs_source_set_audio_mixers(media, mixers);
	OBSSceneAutoRelease inner = obs_scene_create((std::string(name) + " Inner").c_str());
	obs_scene_add(inner, media);
	OBSSceneAutoRelease scene = obs_scene_create(name);
	obs_scene_add(scene, obs_scene_get_source(inner));
	return scene;
}

} // namespace

TEST(FollowHost, ARemovedSceneIsLetGoAndShownAgainWhenItsNameReturns)
{
	VerticalCanvas canvas(CanvasConfig {360, 640, 30, 1, true});
	ASSERT_TRUE(canvas.init());
	std::vector<bool> changes;
	canvas.set_host_change_handler([&changes](bool names_changed) { changes.push_back(names_changed); });
	OBSWeakSourceAutoRelease removed;
	{
		OBSSceneAutoRelease cam = bltest::make_band_scene("Cam");
		ASSERT_TRUE(canvas.assign_scene_source("Scene 1", "Cam"));
		removed = obs_source_get_weak_source(obs_scene_get_source(cam));
		obs_source_remove(obs_scene_get_source(cam));
		EXPECT_TRUE(canvas.scene_source_missing("Scene 1"));
	}
	EXPECT_FALSE(OBSSourceAutoRelease(obs_weak_source_get_source(removed))) << "the removed scene is still alive";

	// A scene of that name is shown again, whether it is created or renamed into the name.
	OBSSceneAutoRelease back = obs_scene_create("Cam");
	EXPECT_EQ(canvas.active_source().Get(), obs_scene_get_source(back));
	canvas.release_scene_sources();
	obs_source_set_name(obs_scene_get_source(back), "Elsewhere");
	obs_source_set_name(obs_scene_get_source(back), "Cam");
	EXPECT_EQ(canvas.active_source().Get(), obs_scene_get_source(back));
	// A removal or a return only redraws the dock; only a rename saves.
	EXPECT_EQ(changes, (std::vector<bool> {false, false, false}));
}

TEST(FollowHost, Track6IsClearedOnlyWhereTheModuleSetIt)
{
	// The user put A's media on track 6 (0x20) themselves; B's is on track 1 only.
	const struct {
		bool route;
		uint32_t b_after[4]; // B active, Scene 1 active, B active, B's scene removed
	} rows[] = {{false, {0x01, 0x01, 0x01, 0x01}}, {true, {0x21, 0x01, 0x21, 0x01}}};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.route ? "routing on" : "routing off");
		OBSSourceAutoRelease a, b;
		OBSSceneAutoRelease scene_a = scene_with_audio("A", a, 0x21);
		OBSSceneAutoRelease scene_b = scene_with_audio("B", b, 0x01);
		VerticalCanvas canvas(CanvasConfig {360, 640, 30, 1, row.route});
		ASSERT_TRUE(canvas.init());
		ASSERT_TRUE(canvas.add_scene("B"));
		ASSERT_TRUE(canvas.assign_scene_source("Scene 1", "A"));
		ASSERT_TRUE(canvas.assign_scene_source("B", "B"));
		const char *active[] = {"B", "Scene 1", "B"};
		for (int step = 0; step < 4; ++step) {
			if (step < 3)
				ASSERT_TRUE(canvas.set_active_scene(active[step]));
			else
				obs_source_remove(obs_scene_get_source(scene_b));
			EXPECT_EQ(obs_source_get_audio_mixers(b), row.b_after[step]) << "step " << step;
			EXPECT_EQ(obs_source_get_audio_mixers(a), 0x21u) << "step " << step;
		}
		canvas.shutdown();
		EXPECT_EQ(obs_source_get_audio_mixers(a), 0x21u);
	}

	// The host saves the collection with the module's bit on; loaded again in a later run, that
	// bit is still the module's, not the user's.
	OBSSourceAutoRelease media;
	OBSSceneAutoRelease scene = scene_with_audio("Saved", media, 0x01);
	OBSDataAutoRelease saved;
	{
		VerticalCanvas canvas(CanvasConfig {360, 640, 30, 1, true});
		ASSERT_TRUE(canvas.init());
		ASSERT_TRUE(canvas.assign_scene_source("Scene 1", "Saved"));
		ASSERT_EQ(obs_source_get_audio_mixers(media), 0x21u);
		// As the host writes it to its file: a copy, not the source's live settings.
		OBSDataAutoRelease live = obs_save_source(media);
		saved = obs_data_create_from_json(obs_data_get_json(live));
	}
	EXPECT_EQ(obs_source_get_audio_mixers(media), 0x01u) << "shutdown left the module's track 6 on";
	obs_source_remove(media);
	media = obs_load_source(saved);
	obs_scene_add(scene, media);
	VerticalCanvas canvas(CanvasConfig {360, 640, 30, 1, true});
	ASSERT_TRUE(canvas.init());
	ASSERT_TRUE(canvas.add_scene("Other"));
	ASSERT_TRUE(canvas.assign_scene_source("Other", "Saved"));
	EXPECT_EQ(obs_source_get_audio_mixers(media), 0x01u);
}
