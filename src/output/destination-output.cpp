#include "output/destination-output.hpp"

#include <util/platform.h>

#include "common/log.hpp"
#include "output/output-names.hpp"

namespace brasslight {

namespace {

// The output's own stop is bounded (its sender ends within a second), but the host detaches the
// encoders on a thread of its own afterwards, and the output counts as active until that is
// done: a start in the meantime would be refused as "already running" although everything said
// stopped. A few frames' time at most.
constexpr uint64_t kStopSettleNs = 2000000000ULL;

} // namespace

DestinationOutput::DestinationOutput(const Destination &destination, int index, uint32_t fps_num, uint32_t fps_den,
				     FailureHandler failure_handler)
	: dest(destination), on_failure(std::move(failure_handler))
{
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_string(settings, "server", dest.url.c_str());
	obs_data_set_string(settings, "key", dest.key.c_str());
	obs_data_set_int(settings, "fps_num", fps_num);
	obs_data_set_int(settings, "fps_den", fps_den);
	// The host hands back a placeholder that can never start for an output type it does not know,
	// so an unregistered type counts as a failed creation.
	if (obs_output_get_display_name(kMuxOutputId))
		output = obs_output_create(kMuxOutputId, destination_output_name(index).c_str(), settings, nullptr);
	if (!output) {
		log_msg(LOG_ERROR, "obs_output_create(%s) failed", kMuxOutputId);
		return;
	}
	signal_handler_connect(obs_output_get_signal_handler(output), "stop", on_stop, this);
}

DestinationOutput::~DestinationOutput()
{
	if (!output)
		return;
	if (obs_output_active(output))
		obs_output_stop(output);
	// Waits for a stop handler running on another thread.
	signal_handler_disconnect(obs_output_get_signal_handler(output), "stop", on_stop, this);
}

void DestinationOutput::set_encoders(obs_encoder_t *video, obs_encoder_t *audio)
{
	if (!output)
		return;
	obs_output_set_video_encoder(output, video);
	obs_output_set_audio_encoder(output, audio, 0);
}

bool DestinationOutput::start(std::string &refusal)
{
	if (!output) {
		refusal = "the output could not be created";
		return false;
	}
	log_msg(LOG_INFO, "Vertical output starting: %s", url_for_log(dest.url).c_str());
	if (obs_output_start(output)) {
		log_msg(LOG_INFO, "Vertical output started");
		return true;
	}
	const char *error = obs_output_get_last_error(output);
	log_msg(LOG_ERROR, "obs_output_start failed: %s", error ? error : "unknown");
	refusal = error && *error ? error : "unknown";
	return false;
}

void DestinationOutput::stop()
{
	if (!output || !obs_output_active(output))
		return;
	obs_output_stop(output);
	log_msg(LOG_INFO, "Vertical output stop requested");
	const uint64_t deadline = os_gettime_ns() + kStopSettleNs;
	while (obs_output_active(output) && os_gettime_ns() < deadline)
		os_sleep_ms(5);
}

bool DestinationOutput::active() const
{
	return output && obs_output_active(output);
}

MuxStatus DestinationOutput::status() const
{
	return mux_output_status(output);
}

void DestinationOutput::on_stop(void *data, calldata_t *params)
{
	const long long code = calldata_int(params, "code");
	if (code != OBS_OUTPUT_ERROR && code != OBS_OUTPUT_ENCODE_ERROR)
		return;
	const auto *self = static_cast<const DestinationOutput *>(data);
	if (!self->on_failure)
		return;
	const char *error = obs_output_get_last_error(static_cast<obs_output_t *>(calldata_ptr(params, "output")));
	self->on_failure(self->dest.name, error ? error : "");
}

} // namespace brasslight
