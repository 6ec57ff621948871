// The real module file loaded into a headless host the way the host app loads it: the identity
// the host reads, the locale hooks, and the slot list written at unload. The lines it logs on
// load and unload are checked in the real app: tests/host/test_e2e.py.

#include <dlfcn.h>

#include <gtest/gtest.h>
#include <obs.h>
#include <util/util.hpp>

#include "host-fixture.hpp"

BL_HOST_ENVIRONMENT();

TEST(ModuleLifecycle, NamesItselfAnswersLocaleLookupsAndSavesTheSlotsAtUnload)
{
	obs_module_t *module = nullptr;
	ASSERT_EQ(obs_open_module(&module, BL_MODULE_FILE, BL_MODULE_DATA_DIR), MODULE_SUCCESS);
	ASSERT_TRUE(obs_init_module(module));
	EXPECT_STREQ(obs_get_module_name(module), "BrassLight Vertical Canvas");
	EXPECT_STREQ(obs_get_module_description(module),
		     "Vertical canvas streams a second 9:16 RTMP output simultaneously");
	EXPECT_STREQ(obs_output_get_display_name("bl_vertical_mux_rtmp"), "Vertical RTMP Mux (stereo)");
	auto version = reinterpret_cast<uint32_t (*)()>(dlsym(obs_get_module_lib(module), "obs_module_ver"));
	auto free_locale = reinterpret_cast<void (*)()>(dlsym(obs_get_module_lib(module), "obs_module_free_locale"));
	ASSERT_TRUE(version && free_locale) << "an entry point is not exported";
	EXPECT_EQ(version(), 0x20000004u);

	// The host's locale calls; a lookup never released fails the fixture's leak check.
	const char *text = nullptr;
	obs_set_locale("de-DE"); // no such file: falls back to en-US
	EXPECT_TRUE(obs_module_get_locale_string(module, "BrassLightVerticalCanvas", &text));
	EXPECT_STREQ(text, "BrassLight Vertical Canvas");
	free_locale();
	EXPECT_FALSE(obs_module_get_locale_string(module, "BrassLightVerticalCanvas", &text));
	obs_set_locale("en-US");

	// The host unloads every module at shutdown; the fixture fails the test if anything leaked.
	const std::string global_file = BPtr<char>(obs_module_get_config_path(module, "settings-global.ini")).Get();
	bltest::Host::get().shutdown();
	// From host 30 on, the host's config_save also writes keys that only have a registered default.
	const std::string dock_defaults = LIBOBS_API_MAJOR_VER >= 30 ? bltest::kDockDefaultsSaved + "\n" : "";
	EXPECT_EQ(bltest::read_file(global_file),
		  dock_defaults + "[Scenes]\ncount=1\nactivescene=Scene 1\nscene_0_name=Scene 1\nscene_0_source=\n");
}
