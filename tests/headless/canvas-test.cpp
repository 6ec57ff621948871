// The vertical canvas in a real headless host: its mix, what its frames show, the slot rules and
// the bounds on a hand-edited profile.

#include <chrono>

#include <gtest/gtest.h>
#include <obs.hpp>

#include "canvas/cover-fit.hpp"
#include "canvas/vertical-canvas.hpp"
#include "module/runtime.hpp"
#include "output/vertical-output.hpp"
#include "frame-grabber.hpp"
#include "host-fixture.hpp"
#include "host-objects.hpp"

using namespace brasslight;
using bltest::colour_name;
using bltest::Frame;
using bltest::FrameGrabber;
using bltest::LogCapture;
using bltest::module_lines;
using Names = std::vector<std::string>;

// The host's own mix differs from the canvas in size, orientation and frame rate.
BL_HOST_ENVIRONMENT(bltest::HostOptions {640, 360, 60, 1});

namespace {

const CanvasConfig kSmall {360, 640, 30, 1, true};

// Frames already rendered are still on their way when the canvas changes, and how many depends on
// the machine's load: read frames until all of a grid of points across the frame show `colour`,
// or the deadline passes, and give back what the last one showed.
std::string wait_for_colour(FrameGrabber &grabber, const std::string &colour)
{
	std::string seen = "no frame", expected;
	Frame frame;
	for (int i = 0; i < 15; ++i)
		expected += colour + " ";
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
	while (seen != expected && std::chrono::steady_clock::now() < deadline && grabber.next_frame(frame, 0)) {
		seen.clear();
		for (uint32_t y : {2u, frame.height / 2, frame.height - 3})
			for (uint32_t x : {2u, frame.width / 4, frame.width / 2, frame.width * 3 / 4, frame.width - 3})
				seen += colour_name(frame.at(x, y)) + " ";
	}
	return seen == expected ? colour : seen;
}

} // namespace

TEST(CoverFit, MatchesTheWorkedPlacementTable)
{
	struct Row {
		uint32_t w, h;
		float scale, x, y;
	};
	const Row rows[] = {
		{1920, 1080, 1.7778f, -1166.7f, 0.0f}, {1280, 720, 2.6667f, -1166.7f, 0.0f},
		{1920, 1200, 1.6000f, -996.0f, 0.0f},  {1080, 1920, 1.0000f, 0.0f, 0.0f},
		{0, 1080, 1.0000f, 540.0f, 420.0f},    {1080, 3840, 1.0000f, 0.0f, -960.0f},
	};
	for (const Row &row : rows) {
		const CoverFit fit = cover_fit(row.w, row.h, 1080, 1920);
		SCOPED_TRACE(testing::Message() << row.w << "x" << row.h);
		EXPECT_NEAR(fit.scale, row.scale, 5e-5);
		EXPECT_NEAR(fit.pos_x, row.x, 0.05);
		EXPECT_NEAR(fit.pos_y, row.y, 0.05);
	}
}

TEST(VerticalCanvas, OwnMixInTheHostsFormatShowsTheAssignedSceneCoverFitted)
{
	OBSSceneAutoRelease bands = bltest::make_band_scene("Bands");
	obs_video_info host = {};
	ASSERT_TRUE(obs_get_video_info(&host));
	VerticalCanvas canvas(kSmall);
	ASSERT_TRUE(canvas.init());
	const video_output_info *info = video_output_get_info(canvas.video());
	ASSERT_NE(info, nullptr);
	EXPECT_EQ((std::vector<uint32_t> {info->width, info->height, info->fps_num, info->fps_den}),
		  (std::vector<uint32_t> {360, 640, 30, 1}));
	EXPECT_EQ(info->format, host.output_format);
	EXPECT_EQ(info->colorspace, host.colorspace);
	EXPECT_EQ(info->range, host.range);
	EXPECT_EQ(canvas.audio(), obs_get_audio());
	video_t *mix = canvas.video();
	EXPECT_TRUE(canvas.init());
	EXPECT_EQ(canvas.video(), mix) << "a second init made a second mix";
	obs_video_info after = {};
	obs_get_video_info(&after);
	EXPECT_EQ(after.base_width, 640u) << "the host's own mix changed";

	// The 16:9 scene is scaled to the canvas height; only the middle of the green band is left.
	FrameGrabber grabber(canvas.video());
	ASSERT_TRUE(canvas.assign_scene_source("Scene 1", "Bands"));
	EXPECT_EQ(wait_for_colour(grabber, "green"), "green");
	// Clearing removes the item: the scene is no longer shown anywhere.
	ASSERT_TRUE(canvas.assign_scene_source("Scene 1", ""));
	EXPECT_EQ(wait_for_colour(grabber, "black"), "black");
	EXPECT_FALSE(obs_source_showing(obs_scene_get_source(bands)));

	canvas.shutdown();
	EXPECT_FALSE(canvas.video() || canvas.audio() || canvas.active_source());
	EXPECT_TRUE(canvas.scene_names().empty());
}

TEST(VerticalCanvas, SlotRulesForRemovalRenameAndAssignment)
{
	OBSSourceAutoRelease colour = bltest::make_colour_source("Short-lived", bltest::kRed, 64, 64);
	VerticalCanvas canvas(kSmall);
	ASSERT_TRUE(canvas.init());
	ASSERT_TRUE(canvas.assign_scene_source("Scene 1", "Short-lived"));
	colour = nullptr; // the slot now holds the only reference
	OBSSourceAutoRelease held = canvas.active_source();
	ASSERT_TRUE(canvas.remove_scene("Scene 1"));
	EXPECT_FALSE(canvas.active_source());
	// Still valid for whoever is rendering it: under the sanitizer build a use of a freed source fails here.
	EXPECT_STREQ(obs_source_get_name(held), "Short-lived");

	// A slot created on an empty canvas becomes active; the next does not take over.
	for (const char *name : {"A", "B", "C"})
		ASSERT_TRUE(canvas.add_scene(name));
	EXPECT_EQ(canvas.active_scene_name(), "A");
	EXPECT_FALSE(canvas.add_scene("A"));
	// Removing the active slot hands over to the first slot, not the neighbour.
	ASSERT_TRUE(canvas.set_active_scene("C"));
	ASSERT_TRUE(canvas.remove_scene("C"));
	EXPECT_EQ(canvas.active_scene_name(), "A");
	// Removing a slot before the active one keeps the same slot active at its new index.
	ASSERT_TRUE(canvas.set_active_scene("B"));
	ASSERT_TRUE(canvas.remove_scene("A"));
	EXPECT_EQ(canvas.active_scene_name(), "B");
	ASSERT_TRUE(canvas.remove_scene("B"));
	EXPECT_EQ(canvas.active_scene_name(), "");
	EXPECT_FALSE(canvas.remove_scene("B"));

	// Names are case-sensitive; the in-use check comes before the not-found check.
	ASSERT_TRUE(canvas.add_scene("scene"));
	ASSERT_TRUE(canvas.add_scene("Scene"));
	const size_t from = LogCapture::get().mark();
	EXPECT_TRUE(canvas.rename_scene("scene", "scene"));
	EXPECT_FALSE(canvas.rename_scene("missing", "Scene"));
	EXPECT_FALSE(canvas.rename_scene("missing", "other"));
	EXPECT_TRUE(canvas.rename_scene("scene", "Portrait"));
	EXPECT_EQ(canvas.scene_names(), (Names {"Portrait", "Scene"}));
	EXPECT_EQ(canvas.active_scene_name(), "Portrait");
	// An unknown host scene is remembered for a later retry, and the call reports the failure.
	EXPECT_FALSE(canvas.assign_scene_source("Scene", "Not There Yet"));
	EXPECT_EQ(canvas.scene_source_name("Scene"), "Not There Yet");
	EXPECT_FALSE(canvas.assign_scene_source("Nope", "Bands"));
	EXPECT_EQ(module_lines(from), (Names {
					      "rename_scene — name already in use: Scene",
					      "rename_scene — not found: missing",
					      "Scene renamed: scene -> Portrait",
					      "assign_scene_source — OBS source not found: Not There Yet",
					      "assign_scene_source — scene not found: Nope",
				      }));
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

	// A zero size no longer reaches the host as a zero-sized mix.
	const size_t from = LogCapture::get().mark();
	VerticalCanvas canvas(CanvasConfig {0, 0, 0, 1, true});
	ASSERT_TRUE(canvas.init());
	EXPECT_EQ(video_output_get_info(canvas.video())->width, 16u);
	EXPECT_TRUE(LogCapture::get().contains("Canvas width 0 is out of range (16 to 7680, even) — using 16", from));
	EXPECT_TRUE(
		LogCapture::get().contains("Canvas frame rate 0/1 is out of range (1 to 240 fps) — using 30/1", from));
}

TEST(Runtime, WithoutOurOutputTypeIsNotBuiltAndLeavesNothing)
{
	// This process never registered the output type: the host would hand back a placeholder
	// output that can never start, which must not count as an output controller.
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	const size_t from = LogCapture::get().mark();
	EXPECT_FALSE(create_runtime_from_current_profile());
	EXPECT_FALSE(canvas || output);
	const Names lines = module_lines(from);
	ASSERT_GE(lines.size(), 4u);
	EXPECT_EQ(Names(lines.end() - 4, lines.end()), (Names {
							       "obs_output_create(bl_vertical_mux_rtmp) failed",
							       "Failed to create vertical mux output",
							       "Output init failed",
							       "Canvas shut down",
						       }));
}
