// The real module file loaded into a headless host the way the host app loads it: the exact
// start-up and shut-down lines, the identity the host reads, and the locale hooks.

#include <dlfcn.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <obs.h>

#include "host-fixture.hpp"

using bltest::Host;
using bltest::LogCapture;

BL_HOST_ENVIRONMENT();

namespace {

const std::string kBanner(60, '=');
const std::string kTag = "[brasslight-obs-vertical] ";

// The module's own lines after from: its banner lines and its tagged lines, in order.
std::vector<std::string> module_and_banner_lines(size_t from)
{
	std::vector<std::string> out;
	for (const std::string &line : LogCapture::get().since(from))
		if (line == kBanner || line.rfind(kTag, 0) == 0)
			out.push_back(line);
	return out;
}

template<typename Fn> Fn entry_point(void *handle, const char *name)
{
	void *symbol = dlsym(handle, name);
	EXPECT_NE(symbol, nullptr) << name << " is not exported";
	return reinterpret_cast<Fn>(symbol);
}

} // namespace

TEST(ModuleLifecycle, LoadsAndUnloadsWithExactlyTheDocumentedLines)
{
	const size_t from = LogCapture::get().mark();
	obs_module_t *module = nullptr;
	ASSERT_EQ(obs_open_module(&module, BL_MODULE_FILE, BL_MODULE_DATA_DIR), MODULE_SUCCESS);
	ASSERT_TRUE(obs_init_module(module));

	const std::string global_path =
		Host::get().module_config_dir() + "/brasslight-obs-vertical/settings-global.ini";
	// No front end in this process: no profile folder, so the built-in defaults are summarised.
	EXPECT_EQ(module_and_banner_lines(from),
		  (std::vector<std::string> {
			  kBanner,
			  kTag + "Loading version 1.0.0",
			  kBanner,
			  kTag + "Registered output type: bl_vertical_mux_rtmp",
			  kTag + "Global config loaded from: " + global_path,
			  kTag + "Could not resolve profile config path",
			  kTag + "Scene created (private): Scene 1",
			  kTag + "Canvas initialised: 1080x1920 @ 30/1 fps",
			  kTag + "Using video encoder: obs_x264",
			  kTag + "VerticalOutput initialised (bitrate: 4000 kbps, preset: veryfast)",
			  kTag + "Runtime created: 1080x1920 @ 30/1 fps",
			  kTag + "Loaded successfully",
			  kTag + "Canvas : 1080x1920 @ 30/1 fps",
			  kTag + "RTMP : ",
			  kTag + "Bitrate: 4000 kbps",
			  kTag + "Auto-start with main: yes",
			  kBanner,
		  }));

	EXPECT_STREQ(obs_get_module_name(module), "BrassLight Vertical Canvas");
	EXPECT_STREQ(obs_get_module_description(module),
		     "Vertical canvas streams a second 9:16 RTMP output simultaneously");
	EXPECT_STREQ(obs_output_get_display_name("bl_vertical_mux_rtmp"), "Vertical RTMP Mux (stereo)");

	void *handle = dlopen(BL_MODULE_FILE, RTLD_NOW | RTLD_NOLOAD);
	ASSERT_NE(handle, nullptr);
	EXPECT_EQ(entry_point<uint32_t (*)()>(handle, "obs_module_ver")(), 0x20000004u);

	// Locale hooks: a lookup never released fails the fixture's leak check at shutdown.
	auto set_locale = entry_point<void (*)(const char *)>(handle, "obs_module_set_locale");
	auto free_locale = entry_point<void (*)()>(handle, "obs_module_free_locale");
	auto get_string = entry_point<bool (*)(const char *, const char **)>(handle, "obs_module_get_string");
	const char *text = nullptr;
	set_locale("de-DE"); // no such file: falls back to en-US
	EXPECT_TRUE(get_string("BrassLightVerticalCanvas", &text));
	EXPECT_STREQ(text, "BrassLight Vertical Canvas");
	free_locale();
	EXPECT_FALSE(get_string("BrassLightVerticalCanvas", &text));

	set_locale("en-US");
	dlclose(handle);

	// The host unloads every module at shutdown; the fixture fails the test if anything leaked.
	const size_t before_unload = LogCapture::get().mark();
	Host::get().shutdown();
	EXPECT_EQ(module_and_banner_lines(before_unload), (std::vector<std::string> {
								  kTag + "Unloading",
								  kTag + "Scene list saved (1 scene(s))",
								  kTag + "VerticalOutput destroyed",
								  kTag + "Canvas shut down",
								  kTag + "Unloaded",
							  }));
	EXPECT_EQ(bltest::read_file(global_path), "[Scenes]\ncount=1\nactivescene=Scene 1\nscene_0_name=Scene 1\n"
						  "scene_0_source=\n");
}
