#include "module/plugin.hpp"

#include <cstdlib>
#include <cstring>

#include <QApplication>
#include <QWidget>

#include <obs-module.h>
#include <util/util.hpp>

#include "canvas/vertical-canvas.hpp"
#include "common/log.hpp"
#include "common/text.hpp"
#include "module/hotkeys.hpp"
#include "module/websocket-vendor.hpp"
#include "output/vertical-output.hpp"
#include "ui/message-boxes.hpp"
#include "ui/settings-dialog.hpp"

namespace brasslight {

namespace {

constexpr const char *kBanner = "============================================================";
// Often enough for the adaptive bitrate to step down before a slow link's queue reaches the drop
// policy (output/adaptive-bitrate.hpp), rarely enough to cost nothing.
constexpr int kTickIntervalMs = 500;

} // namespace

std::string current_profile_config_path()
{
	BPtr<char> dir = obs_frontend_get_current_profile_path();
	if (!dir || !*dir.Get())
		return {};
	return std::string(dir.Get()) + "/" + kProfileFileName;
}

namespace {

// Beside the host's own recordings: the folder of its current output mode, its file-name format.
RecordingPlace host_recording_place()
{
	RecordingPlace place;
	config_t *profile = obs_frontend_get_profile_config();
	if (profile) {
		const char *mode = config_get_string(profile, "Output", "Mode");
		const bool advanced = mode && strcmp(mode, "Advanced") == 0;
		const char *type = advanced ? config_get_string(profile, "AdvOut", "RecType") : nullptr;
		const char *key =
			!advanced ? "FilePath" : (type && strcmp(type, "FFmpeg") == 0 ? "FFFilePath" : "RecFilePath");
		const char *folder = config_get_string(profile, advanced ? "AdvOut" : "SimpleOutput", key);
		const char *format = config_get_string(profile, "Output", "FilenameFormatting");
		place.folder = folder ? folder : "";
		place.filename_format = format ? format : "";
	}
	if (place.folder.empty()) {
		const char *home = getenv("HOME");
		place.folder = home ? home : ".";
	}
	return place;
}

void load_profile_config(ProfileConfig &profile)
{
	profile.close();
	const std::string path = current_profile_config_path();
	if (path.empty()) {
		log_msg(LOG_WARNING, "Could not resolve profile config path");
		return;
	}
	profile.open(path);
}

} // namespace

Plugin::Plugin(obs_module_t *module)
	: rt(Runtime::Events {
		  [this] { dock.detach(); },
		  [this] { refresh_views(); },
		  [this](SlotChange change, const std::string &name, const std::string &new_name) {
			  on_slot_changed(change, name, new_name);
		  },
		  // On the host thread that stopped the stream: the box is shown from the event loop, and
		  // names the destination when there are several.
		  [this](const std::string &destination, const std::string &reason) {
			  ui.post([this, destination, reason] {
				  const std::string why = reason.empty() ? text("Error.StreamFailed") : reason;
				  const bool several = rt.profile_config().destinations().size() > 1;
				  show_critical_box(text("Error.StreamTitle"),
						    several ? destination + ": " + why : why);
			  });
		  },
		  // Once per start of the main stream, which goes live all the same: without the box the
		  // user would not know that the vertical one did not.
		  [this](const std::string &reason) {
			  const std::string why = reason.empty() ? text("Error.NoCanvas") : reason;
			  ui.post([why] {
				  show_critical_box(text("Error.StreamTitle"), text("Error.AutoStartRefused") + why);
			  });
		  },
		  host_recording_place,
		  [this](const std::string &path) { on_replay_saved(path); },
	  })
{
	BPtr<char> global_path = module ? obs_module_get_config_path(module, kGlobalFileName) : nullptr;
	if (global_path && *global_path.Get())
		rt.global_config().open(global_path.Get());
	else
		log_msg(LOG_WARNING, "Could not resolve global config path");
	load_profile_config(rt.profile_config());
}

Plugin::~Plugin()
{
	log_msg(LOG_INFO, "Unloading");
	ticker.stop();
	// Removed first, so that no event handling can start during the teardown.
	if (event_callback_registered)
		obs_frontend_remove_event_callback(on_frontend_event, this);
	vendor.reset();
	hotkeys.reset();
	rt.destroy_runtime(true);
	dock.drop();
	rt.global_config().save();
	if (rt.profile_config().is_open() && !rt.profile_config().save())
		log_msg(LOG_WARNING, "Failed to save profile config");
	rt.global_config().close();
	rt.profile_config().close();
	log_msg(LOG_INFO, "Unloaded");
}

bool Plugin::finish_load()
{
	if (!rt.create_runtime_from_current_profile()) {
		log_msg(LOG_ERROR, "Runtime init failed — plugin will not load");
		return false;
	}
	obs_frontend_add_event_callback(on_frontend_event, this);
	event_callback_registered = true;
	if (QApplication::instance()) {
		QObject::connect(&ticker, &QTimer::timeout, [this] { tick(); });
		ticker.start(kTickIntervalMs);
	}
	log_msg(LOG_INFO, "Loaded successfully");
	log_summary();
	blog(LOG_INFO, "%s", kBanner);
	return true;
}

void Plugin::log_summary()
{
	// Read afresh from the store, as saved: the summary shows what the profile holds, not what
	// the canvas later makes of it. The stream key is never logged.
	const ProfileConfig &profile = rt.profile_config();
	log_msg(LOG_INFO, "Canvas : %ux%u @ %u/%u fps", profile.canvas_width(), profile.canvas_height(),
		profile.fps_num(), profile.fps_den());
	log_msg(LOG_INFO, "RTMP : %s", url_for_log(profile.rtmp_url()).c_str());
	log_msg(LOG_INFO, "Bitrate: %u kbps", profile.video_bitrate());
	log_msg(LOG_INFO, "Auto-start with main: %s", profile.auto_start_with_main() ? "yes" : "no");
}

void Plugin::open_settings_dialog()
{
	// The dialog is modal and deletes itself once closed; nobody keeps a pointer to it.
	if (!QApplication::instance())
		return;
	auto *dialog = new SettingsDialog(rt, static_cast<QWidget *>(obs_frontend_get_main_window()));
	dialog->setAttribute(Qt::WA_DeleteOnClose);
	dialog->exec();
}

void Plugin::tick()
{
	if (rt.output())
		rt.output()->tick();
	if (rt.canvas())
		rt.canvas()->refresh_vertical_only_audio();
}

void Plugin::refresh_views()
{
	dock.refresh();
	if (hotkeys)
		hotkeys->sync_slots();
	if (vendor)
		vendor->send_changed_events();
}

void Plugin::on_slot_changed(SlotChange change, const std::string &name, const std::string &new_name)
{
	if (hotkeys) {
		if (change == SlotChange::Renamed)
			hotkeys->rename_slot(name, new_name);
		hotkeys->sync_slots();
		if (change == SlotChange::Removed)
			hotkeys->forget_slot(name);
	}
	dock.refresh();
	if (vendor)
		vendor->send_changed_events();
}

void Plugin::on_frontend_event(enum obs_frontend_event event, void *data)
{
	static_cast<Plugin *>(data)->handle_event(event);
}

void Plugin::handle_event(enum obs_frontend_event event)
{
	// Dropped, not queued: a nested event would otherwise rebuild or stop the runtime in the
	// middle of the handling that is already running.
	if (in_event)
		return;
	in_event = true;
	switch (event) {
	case OBS_FRONTEND_EVENT_STREAMING_STARTING:
		on_streaming_starting();
		break;
	case OBS_FRONTEND_EVENT_STREAMING_STOPPED:
		on_streaming_stopped();
		break;
	case OBS_FRONTEND_EVENT_RECORDING_STARTING:
		if (rt.profile_config().recording().with_main && rt.output() && !rt.output()->recording_active()) {
			log_msg(LOG_INFO, "Main recording starting — starting vertical recording");
			rt.start_recording();
		}
		break;
	case OBS_FRONTEND_EVENT_RECORDING_STOPPED:
		if (rt.profile_config().recording().with_main && rt.output() && rt.output()->recording_active()) {
			log_msg(LOG_INFO, "Main recording stopped — stopping vertical recording");
			rt.stop_recording();
		}
		break;
	case OBS_FRONTEND_EVENT_PROFILE_CHANGED:
		on_profile_changed();
		break;
	case OBS_FRONTEND_EVENT_EXIT:
		on_exit();
		break;
	case OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGING:
	case OBS_FRONTEND_EVENT_SCENE_COLLECTION_CLEANUP:
		// The host is about to remove every scene of the current collection: the slots let go of
		// them now, so that none of those scenes, or their capture devices, outlives the switch.
		// Again at the cleanup, which the host's exit runs too, before it waits for its sources'
		// destruction: a scene its removal missed (host 32 may skip one while it removes them)
		// would else be released only as the module unloads, too late for the host to destroy it.
		if (rt.canvas())
			rt.canvas()->release_slot_scenes();
		refresh_views();
		break;
	case OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGED:
		rt.reassign_host_scenes();
		refresh_views();
		break;
	case OBS_FRONTEND_EVENT_FINISHED_LOADING:
		on_finished_loading();
		break;
	default:
		break;
	}
	in_event = false;
}

void Plugin::on_streaming_starting()
{
	start_replay_with_main();
	// Read afresh at each start; without a profile store the default (on) holds.
	if (!rt.profile_config().auto_start_with_main())
		return;
	if (rt.output() && !rt.output()->is_active()) {
		log_msg(LOG_INFO, "Main stream starting — auto-starting vertical output");
		rt.auto_start_stream();
	}
}

void Plugin::start_replay_with_main()
{
	if (rt.profile_config().recording().replay_with_main && rt.output() && !rt.output()->replay_buffer_active()) {
		log_msg(LOG_INFO, "Main stream starting — starting vertical replay buffer");
		rt.start_replay_buffer();
	}
}

void Plugin::on_replay_saved(const std::string &path)
{
	log_msg(LOG_INFO, "Vertical replay saved: %s", path.c_str());
	dock.replay_saved(path);
	if (vendor)
		vendor->replay_saved(path);
}

void Plugin::on_streaming_stopped()
{
	// Also a vertical stream started by hand: it never outlives the main stream.
	if (rt.output() && rt.output()->is_active()) {
		log_msg(LOG_INFO, "Main stream stopped — stopping vertical output");
		rt.output()->stop();
	}
	if (rt.profile_config().recording().replay_with_main && rt.output() && rt.output()->replay_buffer_active())
		rt.stop_replay_buffer();
}

void Plugin::on_profile_changed()
{
	log_msg(LOG_INFO, "OBS profile changed — rebuilding profile-specific runtime");
	log_msg(LOG_INFO, "Profile change — rebuilding vertical runtime");
	rt.destroy_runtime(true);
	load_profile_config(rt.profile_config());
	if (rt.create_runtime_from_current_profile()) {
		rt.restore_slots();
		dock.register_dock(rt);
		return;
	}
	log_msg(LOG_ERROR, "Failed to rebuild vertical runtime after profile change");
	refresh_views();
	ui.post([] { show_information_box(text("Error.RebuildTitle"), text("Error.Rebuild")); });
}

void Plugin::on_finished_loading()
{
	rt.restore_slots();
	dock.register_dock(rt);
	hotkeys = std::make_unique<Hotkeys>(rt);
	vendor = std::make_unique<WebSocketVendor>(rt);
}

void Plugin::on_exit()
{
	dock.save_state(rt.global_config());
	if (rt.output() && rt.output()->is_active()) {
		log_msg(LOG_INFO, "OBS exiting — stopping vertical output");
		rt.output()->stop();
	}
	if (rt.output()) {
		rt.output()->stop_recording();
		rt.output()->stop_replay_buffer();
	}
	// Before any module unloads: obs-websocket may go first, and with it its handler.
	vendor.reset();
	hotkeys.reset();
}

} // namespace brasslight
