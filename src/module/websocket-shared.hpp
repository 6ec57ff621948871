#pragma once

// What the vendor's registration and its request handlers share (websocket-vendor.cpp,
// websocket-requests.cpp).

#include <chrono>
#include <string>

#include <obs.h>

#include "mux/mux-output.hpp"

namespace brasslight::websocket {

// A request waits this long for the user-interface thread, which a modal dialog of the host's
// still serves but a long rebuild may hold. A request that is not answered in time may still
// take effect later: the answer says so.
inline constexpr auto kRequestBound = std::chrono::seconds(5);

inline const char *state_name(MuxState state)
{
	switch (state) {
	case MuxState::Connecting:
		return "connecting";
	case MuxState::Streaming:
		return "streaming";
	case MuxState::Reconnecting:
		return "reconnecting";
	case MuxState::Stopped:
		break;
	}
	return "stopped";
}

inline void fail(obs_data_t *response, const std::string &message)
{
	obs_data_set_string(response, "error", message.c_str());
}

} // namespace brasslight::websocket
