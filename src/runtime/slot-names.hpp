#pragma once

#include <cstddef>
#include <string>

namespace brasslight {

// What a slot may be called. A name reaches the host's hotkey list, the module's ini file, the
// log and remote clients: it is one line of valid UTF-8 text of a bounded length.
inline constexpr size_t kMaxSlotNameLength = 128; // characters
// No streamer switches between more slots than fit a dock; every change of the list rewrites the
// whole stored list.
inline constexpr size_t kMaxSlots = 100;

// Why a (trimmed, non-empty) name cannot be a slot's name, in words; empty when it can. `what`
// names what is named ("slot", "destination"): a destination's name reaches the log and remote
// clients too, so it follows the same rules.
std::string slot_name_problem(const std::string &name, const char *what = "slot");

// The name made usable: each control character or byte that is not UTF-8 becomes a space, white
// space at the edges goes, and the name is cut at kMaxSlotNameLength characters; "Slot" if nothing
// is left. For names read from a hand-edited file, whose slots must not be lost.
std::string usable_slot_name(const std::string &name);

// Whether two names are one to the host's ini files, whose keys compare without regard to ASCII
// case: two such slots would share and overwrite each other's entries.
bool same_slot_name(const std::string &a, const std::string &b);

} // namespace brasslight
