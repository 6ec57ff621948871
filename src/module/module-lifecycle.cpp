#include "module/module-lifecycle.hpp"

#include <mutex>

#include <QApplication>

#include <obs-frontend-api.h>
#include <util/util.hpp>

#include "config/global-config.hpp"
#include "config/profile-config.hpp"
#include "module/automation.hpp"
#include "module/dock-registration.hpp"
#include "module/host-events.hpp"
#include "common/log.hpp"
#include "module/runtime.hpp"
#include "mux/mux-output.hpp"
#include "output/vertical-output.hpp"
#include "ui/settings-dialog.hpp"

namespace brasslight {

obs_module_t *module = nullptr;
bool event_callback_registered = false;

namespace {

constexpr const char *kBanner = "============================================================";

// Owned lookup of the current locale; the module reads none of its own texts through it, it
// only answers the host's obs_module_get_string queries.
TextLookup locale_lookup;

// Whether load waits for obs_module_post_load to create the runtime.
bool runtime_deferred = false;

bool host_encoders_registered()
{
	if (!obs_get_encoder_codec(VerticalOutput::kAudioEncoderId))
		return false;
	for (const char *id : VerticalOutput::kVideoEncoderCandidates) {
		if (obs_get_encoder_codec(id))
			return true;
	}
	return false;
}

void log_summary()
{
	// Read afresh from the store, as saved: the summary shows what the profile holds, not what
	// the canvas later makes of it. The stream key is never logged.
	log_msg(LOG_INFO, "Canvas : %ux%u @ %u/%u fps", get_canvas_width(), get_canvas_height(), get_fps_num(),
		get_fps_den());
	log_msg(LOG_INFO, "RTMP : %s", get_rtmp_url());
	log_msg(LOG_INFO, "Bitrate: %u kbps", get_video_bitrate());
	log_msg(LOG_INFO, "Auto-start with main: %s", get_auto_start_with_main() ? "yes" : "no");
}

} // namespace

void module_set_locale(const char *locale)
{
	locale_lookup = nullptr;
	locale_lookup = obs_module_load_locale(module, kDefaultLocale, locale);
}

void module_free_locale()
{
	locale_lookup = nullptr;
}

bool module_get_string(const char *lookup_string, const char **translated_string)
{
	return text_lookup_getstr(locale_lookup, lookup_string, translated_string);
}

bool module_load()
{
	blog(LOG_INFO, "%s", kBanner);
	log_msg(LOG_INFO, "Loading version %s", kModuleVersion);
	blog(LOG_INFO, "%s", kBanner);

	register_mux_output_type();
	log_msg(LOG_INFO, "Registered output type: %s", kMuxOutputId);

	load_global_config();
	load_profile_config();

	// The host loads its system plug-in folder in alphabetical order, so a system-wide install of
	// this module comes before obs-x264 and obs-ffmpeg, whose encoders the runtime needs. Then
	// the runtime waits for obs_module_post_load, which the host calls once every module has loaded.
	if (!host_encoders_registered()) {
		log_msg(LOG_INFO,
			"Host encoders not registered yet — the runtime is created once all modules have loaded");
		runtime_deferred = true;
		return true;
	}
	return finish_load();
}

void module_post_load()
{
	if (!runtime_deferred)
		return;
	runtime_deferred = false;
	finish_load();
}

bool finish_load()
{
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	if (!create_runtime_from_current_profile()) {
		log_msg(LOG_ERROR, "Runtime init failed — plugin will not load");
		return false;
	}

	obs_frontend_add_event_callback(on_frontend_event, nullptr);
	event_callback_registered = true;
	obs_frontend_add_tools_menu_item(kToolsMenuText, open_settings_dialog, nullptr);
	automation_load();

	log_msg(LOG_INFO, "Loaded successfully");
	log_summary();
	blog(LOG_INFO, "%s", kBanner);
	return true;
}

void module_unload()
{
	log_msg(LOG_INFO, "Unloading");
	// Removed before the lock is taken, so that no event handling can start during the teardown.
	if (event_callback_registered) {
		obs_frontend_remove_event_callback(on_frontend_event, nullptr);
		event_callback_registered = false;
	}
	automation_unload();

	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	destroy_runtime(true);
	drop_dock();

	save_global_config();
	if (profile_config && !save_config_file(profile_config))
		log_msg(LOG_WARNING, "Failed to save profile config");
	global_config.Close();
	profile_config.Close();
	log_msg(LOG_INFO, "Unloaded");
}

void open_settings_dialog(void *)
{
	// The host calls this from its Tools menu, on the user-interface thread. The dialog is
	// modal and deletes itself once closed; nobody keeps a pointer to it.
	if (!QApplication::instance())
		return;
	auto *dialog = new SettingsDialog(static_cast<QWidget *>(obs_frontend_get_main_window()));
	dialog->setAttribute(Qt::WA_DeleteOnClose);
	dialog->exec();
}

} // namespace brasslight
