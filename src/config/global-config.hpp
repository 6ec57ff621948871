#pragma once

#include <string>

#include "common/ini-file.hpp"

namespace brasslight {

inline constexpr const char *kGlobalFileName = "settings-global.ini";
inline constexpr const char *kGlobalDockSection = "VerticalCanvas";
inline constexpr const char *kKeyDockVisible = "dockvisible";
inline constexpr const char *kKeyDockFloating = "dockfloating";
inline constexpr const char *kKeyDockArea = "dockarea";
inline constexpr const char *kKeyDockGeometry = "dockgeometry";

// The module-wide settings file in the module's configuration folder: the dock frame's state, the
// slot list and the hotkeys' bindings, shared by every profile. Closed (null) while not open.
class GlobalConfig {
public:
	// Closes what is open and opens path, creating it when missing, with the dock's defaults.
	void open(const std::string &path);
	void close() { ini.close(); }
	// Writes the whole store; a failure is a warning. Does nothing while the store is closed.
	void save();

	config_t *file() const { return ini; }
	explicit operator bool() const { return static_cast<bool>(ini); }

private:
	IniFile ini;
};

} // namespace brasslight
