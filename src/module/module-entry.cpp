// The entry points the host looks up by name in the module file, and the two module-wide
// variables the host's protocol needs: everything else belongs to the Plugin object.

#include <memory>

#include <obs-module.h>

#include "common/log.hpp"
#include "common/text.hpp"
#include "module/plugin.hpp"
#include "mux/mux-output.hpp"
#include "output/vertical-output.hpp"

namespace {

constexpr const char *kModuleName = "BrassLight Vertical Canvas";
constexpr const char *kModuleDescription = "Vertical canvas streams a second 9:16 RTMP output simultaneously";
constexpr const char *kModuleVersion = "1.0.0";
// The host API the module is written for, in the host's encoding (major << 24 | minor << 16 | patch):
// 32.0.4. Hosts from 29 on load a module that reports it.
constexpr uint32_t kHostApiVersion = 0x20000004;
constexpr const char *kBanner = "============================================================";

// The host's handle of this module: set before load, needed by the locale hooks that run outside
// the plug-in's lifetime.
obs_module_t *module_handle = nullptr;
// The plug-in between load and unload. Module-wide because the host's entry points and its
// tools-menu callback carry no object of ours. Touched only on the user-interface thread.
std::unique_ptr<brasslight::Plugin> plugin;

bool host_encoders_registered()
{
	using brasslight::VerticalOutput;
	if (!obs_get_encoder_codec(VerticalOutput::kAudioEncoderId))
		return false;
	for (const char *id : VerticalOutput::kVideoEncoderCandidates)
		if (obs_get_encoder_codec(id))
			return true;
	return false;
}

bool finish_load()
{
	if (!plugin->finish_load()) {
		// Nothing stays registered; the settings files are saved and closed.
		plugin.reset();
		return false;
	}
	obs_frontend_add_tools_menu_item(
		brasslight::text("Menu.Settings"),
		[](void *) {
			if (plugin)
				plugin->open_settings_dialog();
		},
		nullptr);
	return true;
}

} // namespace

MODULE_EXPORT void obs_module_set_pointer(obs_module_t *module)
{
	module_handle = module;
}

MODULE_EXPORT uint32_t obs_module_ver(void)
{
	return kHostApiVersion;
}

MODULE_EXPORT void obs_module_set_locale(const char *locale)
{
	brasslight::load_texts(module_handle, locale);
}

MODULE_EXPORT void obs_module_free_locale(void)
{
	brasslight::free_texts();
}

MODULE_EXPORT bool obs_module_get_string(const char *lookup_string, const char **translated_string)
{
	return brasslight::find_text(lookup_string, translated_string);
}

MODULE_EXPORT const char *obs_module_name(void)
{
	return kModuleName;
}

MODULE_EXPORT const char *obs_module_description(void)
{
	return kModuleDescription;
}

MODULE_EXPORT bool obs_module_load(void)
{
	blog(LOG_INFO, "%s", kBanner);
	brasslight::log_msg(LOG_INFO, "Loading version %s", kModuleVersion);
	blog(LOG_INFO, "%s", kBanner);

	brasslight::register_mux_output_type();
	brasslight::log_msg(LOG_INFO, "Registered output type: %s", brasslight::kMuxOutputId);

	plugin = std::make_unique<brasslight::Plugin>(module_handle);
	// The host loads its system plug-in folder in alphabetical order, so a system-wide install of
	// this module comes before obs-x264 and obs-ffmpeg, whose encoders the runtime needs. Then
	// the runtime waits for obs_module_post_load, which the host calls once every module has loaded.
	if (!host_encoders_registered()) {
		brasslight::log_msg(
			LOG_INFO,
			"Host encoders not registered yet — the runtime is created once all modules have loaded");
		return true;
	}
	return finish_load();
}

MODULE_EXPORT void obs_module_post_load(void)
{
	// Only a load that waited for the host's encoders has work left.
	if (plugin && !plugin->loaded())
		finish_load();
}

MODULE_EXPORT void obs_module_unload(void)
{
	if (plugin) {
		plugin.reset();
		return;
	}
	// A load that failed has unloaded already; the host calls this only after a good load.
	brasslight::log_msg(LOG_INFO, "Unloading");
	brasslight::log_msg(LOG_INFO, "Unloaded");
}
