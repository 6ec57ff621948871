#pragma once

#include <obs-module.h>

namespace brasslight {

inline constexpr const char *kModuleName = "BrassLight Vertical Canvas";
inline constexpr const char *kModuleDescription = "Vertical canvas streams a second 9:16 RTMP output simultaneously";
inline constexpr const char *kModuleVersion = "1.0.0";
// The host API the module is written for, in the host's encoding (major << 24 | minor << 16 | patch):
// 32.0.4. Hosts from 29 on load a module that reports it.
inline constexpr uint32_t kHostApiVersion = 0x20000004;
inline constexpr const char *kDefaultLocale = "en-US";
inline constexpr const char *kToolsMenuText = "Brasslight Vertical Streaming Settings";

// The host's handle of this module; set by the host before load.
extern obs_module_t *module;
// Whether load registered the front-end event callback (unload removes it only then).
extern bool event_callback_registered;

// The work behind the exported entry points (module-entry.cpp forwards to these).
bool module_load();
void module_post_load();
// Load from the runtime's creation on (load itself, or post-load when the host's encoders were not
// registered yet at load); true when the runtime was created.
bool finish_load();
void module_unload();
void module_set_locale(const char *locale);
void module_free_locale();
bool module_get_string(const char *lookup_string, const char **translated_string);

// The tools-menu callback: opens the settings dialog on the host's main window.
void open_settings_dialog(void *private_data);

} // namespace brasslight
