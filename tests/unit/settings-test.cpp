// The ini stores against real files: a fresh profile, and stores that cannot be opened or named.
// Every key as typed in the settings dialog and read back into it: ui-test; the
// dock's keys across restarts of the real app: tests/host/test_e2e.py.

#include <fstream>

#include <gtest/gtest.h>
#include <obs-config.h>

#include "module/plugin.hpp"
#include "log-capture.hpp"
#include "temp-dir.hpp"

using namespace brasslight;

static void expect_profile_defaults(const ProfileConfig &profile)
{
	const OutputConfig out = profile.read_output_config();
	const CanvasConfig c = profile.read_canvas_config();
	ASSERT_EQ(out.destinations.size(), 1u) << "an old profile's one destination";
	const Destination &first = out.destinations.front();
	EXPECT_EQ(first.name + "|" + first.url + "|" + first.key + "|" + out.encoder_preset, "Stream|||veryfast");
	EXPECT_EQ((std::vector<uint32_t> {out.video_bitrate_kbps, c.width, c.height, c.fps_num, c.fps_den}),
		  (std::vector<uint32_t> {4000, 1080, 1920, 30, 1}));
	EXPECT_TRUE(profile.auto_start_with_main() && c.use_active_scene_audio && out.adaptive_bitrate);
}

// The file as written: these lines exactly on host 29; from host 30 on the host's writer also
// writes every key that has a registered default, so there these lines are among others.
static void expect_written(const std::string &path, const std::string &lines)
{
	const std::string file = bltest::read_file(path);
#if LIBOBS_API_MAJOR_VER >= 30
	size_t at = 0;
	for (size_t end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1)
		EXPECT_NE(file.find(lines.substr(at, end + 1 - at)), std::string::npos) << lines.substr(at, end - at);
#else
	EXPECT_EQ(file, lines);
#endif
}

TEST(Settings, AProfileThatCannotBeOpenedWarnsAndAFreshOneSavesOnlyWhatWasSet)
{
	bltest::LogCapture::get().install();
	const size_t from = bltest::LogCapture::get().mark();
	bltest::TempDir dir;
	// Without the host's front end and a module handle, neither file can be named.
	Plugin plugin(nullptr);
	Runtime &runtime = plugin.runtime();
	ProfileConfig &profile = runtime.profile_config();
	// A regular file where the folder should be: neither the folder nor the file can be made.
	std::ofstream(dir.file("blocker")) << "x";
	const std::string blocked = dir.file("blocker/brasslight-vertical-canvas.ini");
	profile.open(blocked);
	EXPECT_FALSE(profile.is_open());
	// The closed store ignores setters (and null strings) and gives the defaults.
	profile.set_rtmp_url("rtmp://ignored/live");
	profile.set_stream_key(nullptr);
	profile.set_video_bitrate(1);
	profile.set_auto_start_with_main(false);
	expect_profile_defaults(profile);
	runtime.save_profile_config();
	const std::string global_path = dir.file("blocker/settings-global.ini");
	runtime.global_config().open(global_path);
	EXPECT_FALSE(runtime.global_config());

	// The profile folder does not exist yet: the host creates profiles lazily.
	const std::string path = dir.file("profiles/Untitled/brasslight-vertical-canvas.ini");
	profile.open(path);
	ASSERT_TRUE(profile.is_open());
	EXPECT_EQ(bltest::read_file(path), "");
	expect_profile_defaults(profile);
	runtime.save_profile_config(); // saving a profile nobody changed is not a failure
	EXPECT_EQ(bltest::module_lines(from), (std::vector<std::string> {"Could not resolve global config path",
									 "Could not resolve profile config path",
									 "Failed to open profile config: " + blocked,
									 "Failed to open global config: " + global_path,
									 "Profile config loaded from: " + path}));
	profile.set_rtmp_url(" rtmp://host/app ");
	profile.set_video_bitrate(51000);
	runtime.save_profile_config();
	expect_written(path, "[VerticalCanvas]\nrtmpurl= rtmp://host/app \nvideobitrate=51000\n");

	// Hand-edited numbers that are no numbers, or a bitrate no encoder takes, give the defaults with
	// a warning and are not written back; a number in range stays as it is.
	std::ofstream(path) << "[VerticalCanvas]\ncanvaswidth=abc\ncanvasheight=-5\nvideobitrate=4294967295\n"
			       "fpsnum=30000\nfpsden=1001\n";
	const size_t edited = bltest::LogCapture::get().mark();
	profile.open(path);
	const CanvasConfig canvas = profile.read_canvas_config();
	EXPECT_EQ((std::vector<uint32_t> {canvas.width, canvas.height, profile.video_bitrate(), canvas.fps_num,
					  canvas.fps_den}),
		  (std::vector<uint32_t> {1080, 1920, 4000, 30000, 1001}));
	EXPECT_EQ(bltest::module_lines(edited),
		  (std::vector<std::string> {
			  "Profile config loaded from: " + path,
			  "Profile setting canvaswidth=abc is not a number from 0 to 4294967295 — using 1080",
			  "Profile setting canvasheight=-5 is not a number from 0 to 4294967295 — using 1920",
			  "Profile setting videobitrate=4294967295 is not a number from 100 to 100000 — using 4000"}));
	runtime.save_profile_config();
	expect_written(path, "[VerticalCanvas]\nfpsnum=30000\nfpsden=1001\n");
	for (const char *dropped : {"canvaswidth=abc", "canvasheight=-5", "videobitrate=4294967295"})
		EXPECT_EQ(bltest::read_file(path).find(dropped), std::string::npos) << dropped;
}
