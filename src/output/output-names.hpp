#pragma once

#include <ctime>
#include <string>

namespace brasslight {

// base + "_" + the current time in whole seconds since the epoch: the host names of our objects.
inline std::string unique_name(const char *base)
{
	return std::string(base) + "_" + std::to_string(static_cast<long long>(time(nullptr)));
}

// The first destination's output is named as the only one was; the others carry their number,
// so that the host's log lines about each tell them apart.
inline std::string destination_output_name(int index)
{
	return index == 0 ? unique_name("bl_mux_output")
			  : unique_name(("bl_mux_output_" + std::to_string(index + 1)).c_str());
}

} // namespace brasslight
