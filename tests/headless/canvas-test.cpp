// The vertical canvas in a real headless host: its mix, the slot rules and the bounds on a
// hand-edited profile. What its pictures show is checked through the preview (preview-test) and
// in the real app's stream (tests/host).

#include <gtest/gtest.h>

#include "canvas/vertical-canvas.hpp"
#include "host-fixture.hpp"
#include "host-objects.hpp"

using namespace brasslight;
using namespace bltest;
using Names = std::vector<std::string>;

// The host's own mix differs from the canvas in size, orientation and frame rate.
BL_HOST_ENVIRONMENT(HostOptions {640, 360, 60, 1});

TEST(VerticalCanvas, OwnMixInTheHostsFormatShowsOnlyTheAssignedScene)
{
	PublicScene bands = make_band_scene("Bands");
	obs_video_info host = {};
	ASSERT_TRUE(obs_get_video_info(&host));
	VerticalCanvas canvas({360, 640, 30, 1, true});
	ASSERT_TRUE(canvas.init());
	// In the host's format; its size and rate show in the real app's streams (tests/host).
	const video_output_info *info = video_output_get_info(canvas.video());
	ASSERT_NE(info, nullptr);
	EXPECT_EQ(std::make_tuple(info->format, info->colorspace, info->range),
		  std::make_tuple(host.output_format, host.colorspace, host.range));
	EXPECT_EQ(canvas.audio(), obs_get_audio());

	// Shown in the canvas's mix while assigned; cleared, it is shown nowhere.
	ASSERT_TRUE(canvas.assign_slot_scene("Scene 1", "Bands"));
	EXPECT_TRUE(obs_source_showing(obs_scene_get_source(bands)));
	ASSERT_TRUE(canvas.assign_slot_scene("Scene 1", ""));
	EXPECT_FALSE(obs_source_showing(obs_scene_get_source(bands)));

	canvas.shutdown();
	EXPECT_FALSE(canvas.video() || canvas.audio() || canvas.active_source());
	EXPECT_TRUE(canvas.slot_names().empty());
}

TEST(VerticalCanvas, SlotRulesForRemovalRenameAndAssignment)
{
	OBSSourceAutoRelease colour = make_colour_source("Short-lived", kRed, 64, 64);
	VerticalCanvas canvas({360, 640, 30, 1, true});
	ASSERT_TRUE(canvas.init());
	ASSERT_TRUE(canvas.assign_slot_scene("Scene 1", "Short-lived"));
	colour = nullptr; // the slot now holds the only reference
	OBSSourceAutoRelease held = canvas.active_source();
	ASSERT_TRUE(canvas.remove_slot("Scene 1"));
	EXPECT_FALSE(canvas.active_source());
	// Still valid for whoever is rendering it: the sanitizer build fails on a use of a freed source.
	EXPECT_STREQ(obs_source_get_name(held), "Short-lived");

	// A slot created on an empty canvas becomes active; the next does not take over.
	for (const char *name : {"A", "B", "C"})
		ASSERT_TRUE(canvas.add_slot(name));
	EXPECT_EQ(canvas.active_slot_name(), "A");
	EXPECT_FALSE(canvas.add_slot("A"));
	// Removing the active slot hands over to the first slot, not the neighbour.
	ASSERT_TRUE(canvas.set_active_slot("C"));
	ASSERT_TRUE(canvas.remove_slot("C"));
	EXPECT_EQ(canvas.active_slot_name(), "A");
	// Removing a slot before the active one keeps the same slot active at its new index.
	ASSERT_TRUE(canvas.set_active_slot("B"));
	ASSERT_TRUE(canvas.remove_slot("A"));
	EXPECT_EQ(canvas.active_slot_name(), "B");
	ASSERT_TRUE(canvas.remove_slot("B"));
	EXPECT_EQ(canvas.active_slot_name(), "");
	EXPECT_FALSE(canvas.remove_slot("B"));

	// Names are case-sensitive.
	ASSERT_TRUE(canvas.add_slot("scene"));
	ASSERT_TRUE(canvas.add_slot("Scene"));
	const size_t from = LogCapture::get().mark();
	EXPECT_FALSE(canvas.rename_slot("scene", "Scene"));
	EXPECT_TRUE(canvas.rename_slot("scene", "Portrait"));
	EXPECT_EQ(canvas.slot_names(), (Names {"Portrait", "Scene"}));
	EXPECT_EQ(canvas.active_slot_name(), "Portrait");
	EXPECT_FALSE(canvas.assign_slot_scene("Scene", "Not There Yet"));
	EXPECT_EQ(module_lines(from),
		  (Names {"rename_scene — name already in use: Scene", "Scene renamed: scene -> Portrait",
			  "assign_scene_source — OBS source not found: Not There Yet"}));
}

TEST(VerticalCanvas, OutOfRangeValuesFromAHandEditedProfileAreBounded)
{
	struct Row {
		CanvasConfig in;
		uint32_t w, h, num, den;
	};
	const Row rows[] = {
		{{0, 0, 0, 0, true}, 16, 16, 30, 1},
		{{4000000000u, 100000, 100000, 5000, true}, 7680, 7680, 100000, 5000},
		{{7680, 7680, 1, 1, true}, 7680, 7680, 1, 1},
		{{361, 641, 30, 1, true}, 360, 640, 30, 1},
		// The rate is bounded, not its parts: the host's NTSC rates stay as they are.
		{{1080, 1920, 30000, 1001, true}, 1080, 1920, 30000, 1001},
		{{1080, 1920, 240, 1, true}, 1080, 1920, 240, 1},
		{{1080, 1920, 241, 1, true}, 1080, 1920, 30, 1},
		{{1080, 1920, 1000000, 1000000, true}, 1080, 1920, 1000000, 1000000},
		{{1080, 1920, 999999, 1000000, true}, 1080, 1920, 30, 1},
		{{1080, 1920, 2000000, 1000000, true}, 1080, 1920, 30, 1},
	};
	for (const Row &row : rows) {
		const CanvasConfig s = sanitize_canvas_config(row.in);
		EXPECT_EQ((std::vector<uint32_t> {s.width, s.height, s.fps_num, s.fps_den}),
			  (std::vector<uint32_t> {row.w, row.h, row.num, row.den}))
			<< row.in.width << "x" << row.in.height << " @ " << row.in.fps_num << "/" << row.in.fps_den;
	}
	// A zero size never reaches the host as a zero-sized mix.
	VerticalCanvas canvas({0, 0, 0, 1, true});
	ASSERT_TRUE(canvas.init());
	EXPECT_EQ(video_output_get_info(canvas.video())->height, 16u);
}
