#pragma once

#include <functional>
#include <string>

#include <obs.hpp>

#include "common/settings-types.hpp"
#include "mux/mux-output.hpp"

namespace brasslight {

// One destination of the vertical stream: an output of the module's RTMP type on the encoders
// that every destination shares. Its name and address are fixed for its life: the controller
// makes a new one when the user changes them. On the user-interface thread, but for the failure
// handler, which runs on the host thread that stopped the stream.
class DestinationOutput {
public:
	// Told why a running stream failed: the destination's name and the output's last error (empty
	// when it set none). It must not block, nor call back into the controller.
	using FailureHandler = std::function<void(const std::string &destination, const std::string &reason)>;

	DestinationOutput(const Destination &destination, int index, uint32_t fps_num, uint32_t fps_den,
			  FailureHandler on_failure);
	~DestinationOutput();
	DestinationOutput(const DestinationOutput &) = delete;
	DestinationOutput &operator=(const DestinationOutput &) = delete;

	// False when the host refused to create the output.
	bool created() const { return output != nullptr; }
	const Destination &destination() const { return dest; }
	bool has_target() const { return !dest.url.empty() && !dest.key.empty(); }

	void set_encoders(obs_encoder_t *video, obs_encoder_t *audio);
	// Starts streaming; false with the host's reason in `refusal`.
	bool start(std::string &refusal);
	// Stops it, and returns once the host has let go of the encoders.
	void stop();
	bool active() const;
	MuxStatus status() const;
	obs_output_t *handle() const { return output; }

private:
	static void on_stop(void *data, calldata_t *params);

	const Destination dest;
	const FailureHandler on_failure;
	OBSOutputAutoRelease output;
};

} // namespace brasslight
