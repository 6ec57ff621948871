#pragma once

#include <string>

#include <util/util.hpp>

namespace brasslight {

inline constexpr const char *kGlobalFileName = "settings-global.ini";
inline constexpr const char *kGlobalDockSection = "VerticalCanvas";
inline constexpr const char *kKeyDockVisible = "dockvisible";
inline constexpr const char *kKeyDockFloating = "dockfloating";
inline constexpr const char *kKeyDockArea = "dockarea";
inline constexpr const char *kKeyDockGeometry = "dockgeometry";

// The module-wide settings file (dock frame state and the scene list); closed while null.
extern ConfigFile global_config;

// Opens settings-global.ini in the module's configuration folder, creating it when missing.
void load_global_config();

// Opens the global store at path; load_global_config resolves the path, tests name one.
void open_global_config(const std::string &path);

// Writes the whole global store with the host's safe save; logs a warning when that fails.
// Does nothing while the store is closed.
void save_global_config();

} // namespace brasslight
