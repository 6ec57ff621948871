#pragma once

#include <string>

namespace brasslight {

// What a user's action did: ok, or why it was refused, in a sentence a user can read. The dock,
// the hotkeys and the obs-websocket requests share the actions, so all three refuse alike.
struct ActionResult {
	bool ok = true;
	std::string error;
	// Refused because another slot has the name: the dock says so in the user's language.
	bool name_taken = false;

	static ActionResult failure(std::string message) { return {false, std::move(message), false}; }
};

enum class SlotChange { Added, Removed, Renamed, Assigned, Activated };

} // namespace brasslight
