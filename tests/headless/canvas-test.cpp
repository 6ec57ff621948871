// The vertical canvas in a real headless host: its mix, what its frames show, the slot rules and
// the track-6 routing on real host sources.

#include <chrono>

#include <gtest/gtest.h>
#include <obs.hpp>

#include "canvas/cover-fit.hpp"
#include "canvas/vertical-canvas.hpp"
#include "config/profile-config.hpp"
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

// The host's own mix differs from the canvas in size, orientation and frame rate.
BL_HOST_ENVIRONMENT(bltest::HostOptions {640, 360, 60, 1});

namespace {

CanvasConfig small_canvas(bool route_audio = true)
{
	CanvasConfig config;
	config.width = 360;
	config.height = 640;
	config.use_active_scene_audio = route_audio;
	return config;
}

// Track 6 of the host's six audio tracks: mixer bit 5.
constexpr uint32_t kTrack6 = 0x20;

bool has_vertical_bit(obs_source_t *source)
{
	return (obs_source_get_audio_mixers(source) & kTrack6) != 0;
}

// Names the colour at a few points across the frame, for one readable assertion.
std::string colours_across(const Frame &frame)
{
	std::string out;
	const uint32_t xs[] = {2, frame.width / 4, frame.width / 2, frame.width * 3 / 4, frame.width - 3};
	const uint32_t ys[] = {2, frame.height / 2, frame.height - 3};
	for (uint32_t y : ys)
		for (uint32_t x : xs)
			out += colour_name(frame.at(x, y)) + " ";
	return out;
}

// Frames already rendered are still on their way when the canvas changes, and how many depends on
// the machine's load: read frames until they show `expected`, or the deadline passes, and give
// back what the last one showed. A wrong placement never shows the expected colours.
std::string wait_for_colours(FrameGrabber &grabber, Frame &frame, const std::string &expected)
{
	std::string seen = "no frame";
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
	while (std::chrono::steady_clock::now() < deadline && grabber.next_frame(frame, 0)) {
		seen = colours_across(frame);
		if (seen == expected)
			break;
	}
	return seen;
}

std::string repeated(const std::string &word, int n)
{
	std::string out;
	for (int i = 0; i < n; ++i)
		out += word + " ";
	return out;
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
		EXPECT_NEAR(fit.scale, row.scale, 5e-5) << row.w << "x" << row.h;
		EXPECT_NEAR(fit.pos_x, row.x, 0.05) << row.w << "x" << row.h;
		EXPECT_NEAR(fit.pos_y, row.y, 0.05) << row.w << "x" << row.h;
	}
}

TEST(VerticalCanvas, HasItsOwnMixBesideTheHostsInTheHostsPixelFormat)
{
	obs_video_info host = {};
	ASSERT_TRUE(obs_get_video_info(&host));

	VerticalCanvas canvas(small_canvas());
	ASSERT_TRUE(canvas.init());
	const video_output_info *info = video_output_get_info(canvas.video());
	ASSERT_NE(info, nullptr);
	EXPECT_EQ(info->width, 360u);
	EXPECT_EQ(info->height, 640u);
	EXPECT_EQ(info->fps_num, 30u);
	EXPECT_EQ(info->fps_den, 1u);
	EXPECT_EQ(info->format, host.output_format);
	EXPECT_EQ(info->colorspace, host.colorspace);
	EXPECT_EQ(info->range, host.range);
	EXPECT_EQ(canvas.audio(), obs_get_audio());

	const size_t from = LogCapture::get().mark();
	video_t *mix = canvas.video();
	EXPECT_TRUE(canvas.init());
	EXPECT_EQ(canvas.video(), mix) << "a second init made a second mix";
	EXPECT_EQ(module_lines(from), std::vector<std::string> {"VerticalCanvas already initialised"});

	// The host's own mix is untouched.
	obs_video_info after = {};
	obs_get_video_info(&after);
	EXPECT_EQ(after.base_width, 640u);
	EXPECT_EQ(after.fps_num, 60u);

	canvas.shutdown();
	EXPECT_EQ(canvas.video(), nullptr);
	EXPECT_EQ(canvas.audio(), nullptr);
	EXPECT_TRUE(canvas.scene_names().empty());
	EXPECT_FALSE(canvas.active_source());
	const size_t after_shutdown = LogCapture::get().mark();
	canvas.shutdown();
	EXPECT_TRUE(module_lines(after_shutdown).empty());
}

TEST(VerticalCanvas, FramesShowTheAssignedSceneCoverFittedAndCentred)
{
	OBSSceneAutoRelease bands = bltest::make_band_scene("Bands");
	OBSSourceAutoRelease portrait = bltest::make_colour_source("Portrait", bltest::kBlue, 1080, 1920);

	VerticalCanvas canvas(small_canvas());
	ASSERT_TRUE(canvas.init());
	FrameGrabber grabber(canvas.video());
	Frame frame;

	// Nothing assigned: the slot's scene is empty and the canvas black.
	EXPECT_EQ(wait_for_colours(grabber, frame, repeated("black", 15)), repeated("black", 15));

	// The 16:9 scene is scaled to the canvas height; only the middle of the green band is left.
	ASSERT_TRUE(canvas.assign_scene_source("Scene 1", "Bands"));
	EXPECT_EQ(wait_for_colours(grabber, frame, repeated("green", 15)), repeated("green", 15));

	// A portrait source of the canvas's own shape fills it edge to edge.
	ASSERT_TRUE(canvas.assign_scene_source("Scene 1", "Portrait"));
	EXPECT_EQ(wait_for_colours(grabber, frame, repeated("blue", 15)), repeated("blue", 15));
	EXPECT_EQ(colour_name(frame.at(0, 0)), "blue");
	EXPECT_EQ(colour_name(frame.at(359, 639)), "blue");

	// Clearing removes the item: the source is no longer shown anywhere.
	EXPECT_TRUE(obs_source_showing(portrait));
	ASSERT_TRUE(canvas.assign_scene_source("Scene 1", ""));
	EXPECT_EQ(wait_for_colours(grabber, frame, repeated("black", 15)), repeated("black", 15));
	EXPECT_FALSE(obs_source_showing(portrait));
	EXPECT_EQ(canvas.scene_source_name("Scene 1"), "");
}

TEST(VerticalCanvas, SlotRulesForRemovalRenameAndAssignment)
{
	VerticalCanvas canvas(small_canvas());
	ASSERT_TRUE(canvas.init());
	using Names = std::vector<std::string>;

	ASSERT_TRUE(canvas.remove_scene("Scene 1"));
	EXPECT_EQ(canvas.active_scene_name(), "");
	// A slot created on an empty canvas becomes active; the next does not take over.
	ASSERT_TRUE(canvas.add_scene("A"));
	ASSERT_TRUE(canvas.add_scene("B"));
	ASSERT_TRUE(canvas.add_scene("C"));
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
	EXPECT_EQ(canvas.scene_names(), Names {"B"});
	ASSERT_TRUE(canvas.remove_scene("B"));
	EXPECT_EQ(canvas.active_scene_name(), "");
	EXPECT_TRUE(canvas.scene_names().empty());
	EXPECT_FALSE(canvas.remove_scene("B"));

	// Names are case-sensitive; the in-use check comes before the not-found check.
	ASSERT_TRUE(canvas.add_scene("scene"));
	ASSERT_TRUE(canvas.add_scene("Scene"));
	size_t from = LogCapture::get().mark();
	EXPECT_TRUE(canvas.rename_scene("scene", "scene"));
	EXPECT_FALSE(canvas.rename_scene("missing", "Scene"));
	EXPECT_FALSE(canvas.rename_scene("missing", "other"));
	EXPECT_TRUE(canvas.rename_scene("scene", "Portrait"));
	EXPECT_EQ(module_lines(from), (Names {
					      "rename_scene — name already in use: Scene",
					      "rename_scene — not found: missing",
					      "Scene renamed: scene -> Portrait",
				      }));
	EXPECT_EQ(canvas.scene_names(), (Names {"Portrait", "Scene"}));
	EXPECT_EQ(canvas.active_scene_name(), "Portrait");

	// An unknown host scene is remembered for a later retry, and the call reports the failure.
	from = LogCapture::get().mark();
	EXPECT_FALSE(canvas.assign_scene_source("Scene", "Not There Yet"));
	EXPECT_EQ(canvas.scene_source_name("Scene"), "Not There Yet");
	EXPECT_FALSE(canvas.assign_scene_source("Nope", "Bands"));
	EXPECT_EQ(canvas.scene_source_name("Nope"), "");
	EXPECT_EQ(module_lines(from), (Names {
					      "assign_scene_source — OBS source not found: Not There Yet",
					      "assign_scene_source — scene not found: Nope",
				      }));
}

TEST(VerticalCanvas, ActiveSourceReferenceOutlivesTheSlot)
{
	OBSSourceAutoRelease colour = bltest::make_colour_source("Short-lived", bltest::kRed, 64, 64);
	VerticalCanvas canvas(small_canvas());
	ASSERT_TRUE(canvas.init());
	ASSERT_TRUE(canvas.assign_scene_source("Scene 1", "Short-lived"));
	colour = nullptr; // the slot now holds the only reference

	OBSSourceAutoRelease held = canvas.active_source();
	ASSERT_TRUE(held);
	ASSERT_TRUE(canvas.remove_scene("Scene 1"));
	EXPECT_FALSE(canvas.active_source());
	// Still valid for whoever is rendering it: under the sanitizer build a use of a freed
	// source fails here.
	EXPECT_STREQ(obs_source_get_name(held), "Short-lived");
	EXPECT_EQ(obs_source_get_width(held), 64u);
}

TEST(VerticalCanvas, Track6ReachesTheAudioInsideAnAssignedHostScene)
{
	// A host scene has no mixer bits of its own: what it plays comes from the sources in it,
	// here one nested a level deeper.
	OBSSourceAutoRelease media = obs_source_create("ffmpeg_source", "Scene Media", nullptr, nullptr);
	OBSSceneAutoRelease inner = obs_scene_create("Inner");
	obs_scene_add(inner, media);
	OBSSceneAutoRelease outer = obs_scene_create("With Audio");
	obs_scene_add(outer, obs_scene_get_source(inner));
	obs_source_set_audio_mixers(media, 0x01);

	VerticalCanvas canvas(small_canvas(true));
	ASSERT_TRUE(canvas.init());
	ASSERT_TRUE(canvas.add_scene("Other"));
	ASSERT_TRUE(canvas.assign_scene_source("Scene 1", "With Audio"));
	EXPECT_EQ(obs_source_get_audio_mixers(media), 0x01u | kTrack6);
	ASSERT_TRUE(canvas.set_active_scene("Other"));
	EXPECT_EQ(obs_source_get_audio_mixers(media), 0x01u);
	ASSERT_TRUE(canvas.set_active_scene("Scene 1"));
	EXPECT_TRUE(has_vertical_bit(media));
	canvas.shutdown();
	EXPECT_EQ(obs_source_get_audio_mixers(media), 0x01u);
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
		{{361, 641, 30, 1, true}, 360, 640, 30, 1},
		// The rate is bounded, not its parts: the host's NTSC rates stay as they are.
		{{1080, 1920, 30000, 1001, true}, 1080, 1920, 30000, 1001},
		{{1080, 1920, 60000, 1001, true}, 1080, 1920, 60000, 1001},
		{{1080, 1920, 240, 1, true}, 1080, 1920, 240, 1},
		{{1080, 1920, 241, 1, true}, 1080, 1920, 30, 1},
		{{1080, 1920, 1000000, 1000000, true}, 1080, 1920, 1000000, 1000000},
		{{1080, 1920, 999999, 1000000, true}, 1080, 1920, 30, 1},
		{{1080, 1920, 2000000, 1000000, true}, 1080, 1920, 30, 1},
	};
	for (const Row &row : rows) {
		const CanvasConfig sane = sanitize_canvas_config(row.in);
		EXPECT_EQ(sane.width, row.w) << "width " << row.in.width;
		EXPECT_EQ(sane.height, row.h) << "height " << row.in.height;
		EXPECT_EQ(sane.fps_num, row.num) << "fps_num " << row.in.fps_num;
		EXPECT_EQ(sane.fps_den, row.den) << "fps_den " << row.in.fps_den;
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
	ASSERT_EQ(obs_output_get_display_name("bl_vertical_mux_rtmp"), nullptr);
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	const size_t from = LogCapture::get().mark();
	EXPECT_FALSE(create_runtime_from_current_profile());
	EXPECT_FALSE(canvas);
	EXPECT_FALSE(output);
	const std::vector<std::string> lines = module_lines(from);
	ASSERT_GE(lines.size(), 4u);
	EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
		  (std::vector<std::string> {
			  "obs_output_create(bl_vertical_mux_rtmp) failed",
			  "Failed to create vertical mux output",
			  "Output init failed",
			  "Canvas shut down",
		  }));
}
