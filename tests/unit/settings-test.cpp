// The ini stores against real files: a fresh profile, and stores that cannot be opened or named.
// Every key as typed in the settings dialog and read back into it: ui-test; the
// dock's keys across restarts of the real app: tests/host/test_e2e.py.

#include <fstream>

#include <gtest/gtest.h>
#include <obs-config.h>

#include "config/global-config.hpp"
#include "config/profile-config.hpp"
#include "module/runtime.hpp"
#include "log-capture.hpp"
#include "temp-dir.hpp"

using namespace brasslight;

static void expect_profile_defaults()
{
	const OutputConfig out = read_output_config();
	const CanvasConfig c = read_canvas_config();
	EXPECT_EQ(out.rtmp_url + "|" + out.stream_key + "|" + out.encoder_preset, "||veryfast");
	EXPECT_EQ((std::vector<uint32_t> {out.video_bitrate_kbps, c.width, c.height, c.fps_num, c.fps_den}),
		  (std::vector<uint32_t> {4000, 1080, 1920, 30, 1}));
	EXPECT_TRUE(get_auto_start_with_main() && c.use_active_scene_audio);
}

TEST(Settings, AProfileThatCannotBeOpenedWarnsAndAFreshOneSavesOnlyWhatWasSet)
{
	bltest::LogCapture::get().install();
	const size_t from = bltest::LogCapture::get().mark();
	bltest::TempDir dir;
	// A regular file where the folder should be: neither the folder nor the file can be made.
	std::ofstream(dir.file("blocker")) << "x";
	const std::string blocked = dir.file("blocker/brasslight-vertical-canvas.ini");
	open_profile_config(blocked);
	EXPECT_FALSE(profile_config);
	// The closed store ignores setters (and null strings) and gives the defaults.
	set_rtmp_url("rtmp://ignored/live");
	set_stream_key(nullptr);
	set_video_bitrate(1);
	set_auto_start_with_main(false);
	expect_profile_defaults();
	save_profile_config();
	// Without the host's front end and a module handle, neither file can be named.
	load_profile_config();
	load_global_config();
	const std::string global_path = dir.file("blocker/settings-global.ini");
	open_global_config(global_path);
	EXPECT_FALSE(global_config);

	// The profile folder does not exist yet: the host creates profiles lazily.
	const std::string path = dir.file("profiles/Untitled/brasslight-vertical-canvas.ini");
	open_profile_config(path);
	ASSERT_TRUE(profile_config);
	EXPECT_EQ(bltest::read_file(path), "");
	expect_profile_defaults();
	save_profile_config(); // saving a profile nobody changed is not a failure
	EXPECT_EQ(bltest::module_lines(from), (std::vector<std::string> {"Failed to open profile config: " + blocked,
									 "Could not resolve profile config path",
									 "Could not resolve global config path",
									 "Failed to open global config: " + global_path,
									 "Profile config loaded from: " + path}));
	set_rtmp_url(" rtmp://host/app ");
	set_video_bitrate(51000);
	save_profile_config();
#if LIBOBS_API_MAJOR_VER >= 30
	// The host's config_save writes every key that has a registered default from host 30 on.
	EXPECT_EQ(bltest::read_file(path),
		  "[VerticalCanvas]\nrtmpurl= rtmp://host/app \nstreamkey=\nvideobitrate=51000\ncanvaswidth=1080\n"
		  "canvasheight=1920\nfpsnum=30\nfpsden=1\nautostartwithmain=true\nencoderpreset=veryfast\n"
		  "useactivesceneaudio=true\n");
#else
	EXPECT_EQ(bltest::read_file(path), "[VerticalCanvas]\nrtmpurl= rtmp://host/app \nvideobitrate=51000\n");
#endif
	profile_config.Close();
}
