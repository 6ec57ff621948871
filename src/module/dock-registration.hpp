#pragma once

#include <string>

#include <QPointer>

namespace brasslight {

class GlobalConfig;
class Runtime;
class VerticalDock;

// The dock in the host's main window. On the user-interface thread only.
class DockRegistration {
public:
	// Creates the dock on the runtime and registers it with the host once, restoring its frame
	// from the global settings; later calls only refresh it. Does nothing without a main window.
	void register_dock(Runtime &runtime);
	// Rebuilds a live dock's views of the runtime.
	void refresh();
	// A live dock shows where the replay buffer wrote its last clip.
	void replay_saved(const std::string &path);
	// A live dock lets go of the canvas and the output controller, which are about to go.
	void detach();
	// Writes the dock frame's visibility, floating state, area and geometry into the global store.
	void save_state(GlobalConfig &global);
	// At unload: the dock forgets the runtime; the host's main window owns and deletes the widget.
	void drop();

private:
	// Guarded: the host's main window owns the widget and may delete it; the module never does.
	QPointer<VerticalDock> dock;
};

} // namespace brasslight
