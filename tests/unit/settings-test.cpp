// The two ini stores against real files: what a fresh profile reads and writes, how a closed
// store behaves, and the failures that must stay warnings.

#include <gtest/gtest.h>

#include "config/global-config.hpp"
#include "config/profile-config.hpp"
#include "module/module-lifecycle.hpp"
#include "module/runtime.hpp"
#include "log-capture.hpp"
#include "temp-dir.hpp"

using namespace brasslight;
using bltest::LogCapture;
using bltest::module_lines;

namespace {

class SettingsTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		LogCapture::get().install();
		from = LogCapture::get().mark();
	}
	void TearDown() override
	{
		profile_config.Close();
		global_config.Close();
	}

	bltest::TempDir dir;
	size_t from = 0;
};

void expect_profile_defaults()
{
	EXPECT_STREQ(get_rtmp_url(), "");
	EXPECT_STREQ(get_stream_key(), "");
	EXPECT_EQ(get_video_bitrate(), 4000u);
	EXPECT_EQ(get_canvas_width(), 1080u);
	EXPECT_EQ(get_canvas_height(), 1920u);
	EXPECT_EQ(get_fps_num(), 30u);
	EXPECT_EQ(get_fps_den(), 1u);
	EXPECT_TRUE(get_auto_start_with_main());
	EXPECT_STREQ(get_encoder_preset(), "veryfast");
	EXPECT_TRUE(get_use_active_scene_audio());
}

} // namespace

TEST_F(SettingsTest, FreshProfileIsCreatedEmptyReadsDefaultsAndSavesOnlyWhatWasSet)
{
	// The profile folder does not exist yet: the host creates profiles lazily.
	const std::string path = dir.file("profiles/Untitled/brasslight-vertical-canvas.ini");
	open_profile_config(path);
	ASSERT_TRUE(profile_config);
	EXPECT_TRUE(bltest::file_exists(path));
	EXPECT_EQ(bltest::read_file(path), "");
	EXPECT_EQ(module_lines(from), std::vector<std::string> {"Profile config loaded from: " + path});
	expect_profile_defaults();

	// Saving a profile nobody changed is not a failure.
	save_profile_config();
	EXPECT_EQ(bltest::read_file(path), "");
	EXPECT_EQ(module_lines(from).size(), 1u);

	set_rtmp_url("rtmp://127.0.0.1/live");
	set_video_bitrate(2500);
	save_profile_config();
	EXPECT_EQ(bltest::read_file(path), "[VerticalCanvas]\nrtmpurl=rtmp://127.0.0.1/live\nvideobitrate=2500\n");
}

TEST_F(SettingsTest, EveryKeyRoundTripsThroughTheFileWithItsType)
{
	const std::string path = dir.file("brasslight-vertical-canvas.ini");
	open_profile_config(path);
	set_rtmp_url(" rtmp://host/app ");
	set_stream_key("k/with spaces");
	set_video_bitrate(51000);
	set_canvas_width(720);
	set_canvas_height(1280);
	set_fps_num(60000);
	set_fps_den(1001);
	set_auto_start_with_main(false);
	set_encoder_preset("slow");
	set_use_active_scene_audio(false);
	save_profile_config();

	open_profile_config(path);
	const CanvasConfig canvas = read_canvas_config();
	EXPECT_EQ(canvas.width, 720u);
	EXPECT_EQ(canvas.height, 1280u);
	EXPECT_EQ(canvas.fps_num, 60000u);
	EXPECT_EQ(canvas.fps_den, 1001u);
	EXPECT_FALSE(canvas.use_active_scene_audio);
	const OutputConfig output = read_output_config();
	EXPECT_EQ(output.rtmp_url, " rtmp://host/app ");
	EXPECT_EQ(output.stream_key, "k/with spaces");
	EXPECT_EQ(output.video_bitrate_kbps, 51000u);
	EXPECT_EQ(output.encoder_preset, "slow");
	EXPECT_FALSE(get_auto_start_with_main());
}

TEST_F(SettingsTest, UnusablePathsAreWarningsAndLeaveDefaults)
{
	// A regular file where the profile folder should be: neither the folder nor the file can be made.
	bltest::write_file(dir.file("blocker"), "x");
	const std::string path = dir.file("blocker/brasslight-vertical-canvas.ini");
	open_profile_config(path);
	EXPECT_FALSE(profile_config);
	// A closed store ignores setters (and null strings) and gives the defaults.
	set_rtmp_url("rtmp://ignored/live");
	set_stream_key(nullptr);
	set_video_bitrate(1);
	set_auto_start_with_main(false);
	expect_profile_defaults();
	EXPECT_EQ(read_output_config().video_bitrate_kbps, 4000u);
	save_profile_config();

	// Without the host's front end there is no current profile to name.
	load_profile_config();
	EXPECT_FALSE(profile_config);

	const std::string global_path = dir.file("blocker/settings-global.ini");
	open_global_config(global_path);
	EXPECT_FALSE(global_config);

	// No module handle: the host cannot name the module's configuration folder.
	module = nullptr;
	load_global_config();
	EXPECT_FALSE(global_config);

	EXPECT_EQ(module_lines(from), (std::vector<std::string> {
					      "Failed to open profile config: " + path,
					      "Could not resolve profile config path",
					      "Failed to open global config: " + global_path,
					      "Could not resolve global config path",
				      }));
}

TEST_F(SettingsTest, GlobalStoreRegistersDockDefaultsAndSavesTheWholeFile)
{
	const std::string path = dir.file("plugin_config/brasslight-obs-vertical/settings-global.ini");
	open_global_config(path);
	ASSERT_TRUE(global_config);
	EXPECT_EQ(module_lines(from), std::vector<std::string> {"Global config loaded from: " + path});
	EXPECT_TRUE(config_get_bool(global_config, "VerticalCanvas", "dockvisible"));
	EXPECT_TRUE(config_get_bool(global_config, "VerticalCanvas", "dockfloating"));
	EXPECT_EQ(config_get_int(global_config, "VerticalCanvas", "dockarea"), 2);
	EXPECT_STREQ(config_get_string(global_config, "VerticalCanvas", "dockgeometry"), "");
	// Defaults are not user values: a first run must read as "never saved".
	EXPECT_FALSE(config_has_user_value(global_config, "VerticalCanvas", "dockfloating"));

	config_set_int(global_config, "VerticalCanvas", "dockarea", 1);
	save_global_config();
	EXPECT_EQ(bltest::read_file(path), "[VerticalCanvas]\ndockarea=1\n");
}
