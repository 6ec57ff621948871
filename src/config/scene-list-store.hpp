#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <util/config-file.h>

namespace brasslight {

// The vertical scene slots as stored in section "Scenes" of the global settings, so that one list
// is shared by every host profile: "count", "activescene", and "scene_<i>_name" and
// "scene_<i>_source" for each slot i. Only conversion: the runtime decides when to read and write.

// A hand-edited count beyond this is not walked: no streamer keeps more slots than fit a dock.
inline constexpr uint64_t kMaxStoredScenes = 1000;

struct StoredSlot {
	std::string name;
	std::string scene; // the host scene it shows; empty: none
};

struct StoredSlotList {
	// False when the file holds no list (count 0 or absent): the canvas keeps its default slot.
	bool present = false;
	// The count as stored, for the log (it may exceed what was read).
	uint64_t count = 0;
	std::vector<StoredSlot> slots; // those with a name, in order
	std::string active;
};

// The list in the store (logs a warning for an implausible count). The store may be null.
StoredSlotList read_slot_list(config_t *store);
// Puts the list into the store (not the file) and removes the keys of slots beyond it, so that a
// shorter list leaves nothing stale behind.
void write_slot_list(config_t *store, const std::vector<StoredSlot> &slots, const std::string &active);

} // namespace brasslight
