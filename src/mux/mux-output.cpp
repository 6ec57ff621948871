// Registration and lifecycle of the output type "bl_vertical_mux_rtmp": create, update, start,
// stop, destroy, defaults, properties, the health callbacks and the status snapshot. The host
// calls these on the thread of whoever drives the output (the output controller); the packet
// callback lives in packet-callback.cpp, the sender thread in sender.cpp. start, stop and destroy
// first end the sender of an earlier run (halt_sender), within about a second whatever the network
// does, so that nothing of an earlier run writes into the record; a sender left behind in a
// host-name lookup keeps the record alive on its own (SenderRun, mux-output-data.hpp).

#include "mux/mux-output.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include <obs-module.h>

#include "common/strings.hpp"
#include "mux/mux-output-data.hpp"

namespace brasslight {

namespace {

// Both audio and video, as one encoded output.
constexpr uint32_t kCaptureFlags = OBS_OUTPUT_VIDEO | OBS_OUTPUT_AUDIO;

constexpr const char *kServerKey = "server";
constexpr const char *kStreamKeyKey = "key";
constexpr const char *kFpsNumKey = "fps_num";
constexpr const char *kFpsDenKey = "fps_den";

void rebuild_target_url(MuxOutputData &record)
{
	PublishTarget target = brasslight::rebuild_target_url(record.server, record.key);
	record.url = std::move(target.url);
	record.tcurl = std::move(target.tcurl);
}

// A frame-rate part is taken only when positive: absent, zero or negative keeps the current one.
void read_frame_rate(MuxOutputData &record, obs_data_t *settings)
{
	const long long num = obs_data_get_int(settings, kFpsNumKey);
	const long long den = obs_data_get_int(settings, kFpsDenKey);
	if (num > 0)
		record.fps_num = static_cast<uint32_t>(num);
	if (den > 0)
		record.fps_den = static_cast<uint32_t>(den);
}

const char *mux_get_name(void *)
{
	return kMuxOutputName;
}

void *mux_create(obs_data_t *settings, obs_output_t *output)
{
	auto record = std::make_shared<MuxOutputData>(output);
	// Not shared yet: no lock.
	if (const char *server = obs_data_get_string(settings, kServerKey))
		record->server = trimmed(server);
	if (const char *key = obs_data_get_string(settings, kStreamKeyKey))
		record->key = trimmed(key);
	read_frame_rate(*record, settings);
	rebuild_target_url(*record);
	MuxOutputData *data = record.get();
	data->host_ref = std::move(record);
	return data;
}

void mux_destroy(void *data)
{
	if (!data)
		return;
	// The host's reference goes last; a sender left behind may still hold one of its own.
	const std::shared_ptr<MuxOutputData> record = std::move(static_cast<MuxOutputData *>(data)->host_ref);
	halt_sender(*record);
}

void mux_update(void *data, obs_data_t *settings)
{
	auto *record = static_cast<MuxOutputData *>(data);
	if (!record)
		return;
	// Against the packet callback, which reads the target when it (re)connects.
	std::lock_guard<std::mutex> lock(record->mutex);
	const char *server = obs_data_get_string(settings, kServerKey);
	const char *key = obs_data_get_string(settings, kStreamKeyKey);
	record->server = server ? trimmed(server) : std::string();
	record->key = key ? trimmed(key) : std::string();
	read_frame_rate(*record, settings);
	rebuild_target_url(*record);
}

bool mux_start(void *data)
{
	auto *record = static_cast<MuxOutputData *>(data);
	if (!record)
		return false;
	// Before the halt below: a start of an output that the host still captures for is refused, and
	// the run in progress goes on.
	if (!obs_output_can_begin_data_capture(record->output, kCaptureFlags)) {
		obs_output_set_last_error(record->output, "obs_output_can_begin_data_capture failed");
		return false;
	}
	// A sender left from a run that ended on an error, with its muxer closed.
	halt_sender(*record);
	{
		// Against update and the packet callback.
		std::lock_guard<std::mutex> lock(record->mutex);
		if (record->url.empty()) {
			obs_output_set_last_error(record->output, "Missing RTMP server/key");
			return false;
		}
		record->queue.clear();
		record->queue.reset_counters();
		record->frames_counted = false;
		record->video_frames = 0;
		record->lost_frames = 0;
		record->awaiting_keyframe = false;
		record->total_bytes.store(0);
		record->total_frames.store(0);
		record->dropped_frames.store(0);
		publish_queue(*record);
		record->connect_time_ms.store(0);
		record->packets_written.store(0);
		record->write_ns.store(0);
	}
	if (!obs_output_initialize_encoders(record->output, kCaptureFlags)) {
		obs_output_set_last_error(record->output, "obs_output_initialize_encoders failed");
		return false;
	}
	{
		std::lock_guard<std::mutex> lock(record->mutex);
		record->phase = RunPhase::Opening;
		record->published_phase.store(RunPhase::Opening);
	}
	launch_sender(*record);
	// Packets arrive from here on; the first one asks the sender to connect.
	if (!obs_output_begin_data_capture(record->output, kCaptureFlags)) {
		// None will: the run would show "Connecting" for ever.
		halt_sender(*record);
		obs_output_set_last_error(record->output, "obs_output_begin_data_capture failed");
		return false;
	}
	return true;
}

void mux_stop(void *data, uint64_t)
{
	auto *record = static_cast<MuxOutputData *>(data);
	if (!record)
		return;
	// Bounded: the sender drops what is queued and closes within kHaltBudgetNs.
	halt_sender(*record);
	// Whatever state the run was in (idle, failed, or running): the host reset its stop event
	// before this call and waits for it at release and at the next start, and ending the capture
	// is what sets it (raising "stop" once more if the capture had already ended), as the host's
	// own outputs do.
	obs_output_end_data_capture(record->output);
}

uint64_t mux_get_total_bytes(void *data)
{
	return static_cast<MuxOutputData *>(data)->total_bytes.load();
}

int mux_get_dropped_frames(void *data)
{
	return static_cast<int>(static_cast<MuxOutputData *>(data)->dropped_frames.load());
}

float mux_get_congestion(void *data)
{
	return static_cast<MuxOutputData *>(data)->congestion.load();
}

int mux_get_connect_time_ms(void *data)
{
	return static_cast<MuxOutputData *>(data)->connect_time_ms.load();
}

void mux_get_defaults(obs_data_t *settings)
{
	obs_data_set_default_string(settings, kServerKey, "");
	obs_data_set_default_string(settings, kStreamKeyKey, "");
}

obs_properties_t *mux_get_properties(void *)
{
	obs_properties_t *props = obs_properties_create();
	obs_properties_add_text(props, kServerKey, "RTMP Server", OBS_TEXT_DEFAULT);
	obs_properties_add_text(props, kStreamKeyKey, "Stream Key", OBS_TEXT_PASSWORD);
	return props;
}

} // namespace

const obs_output_info &mux_output_info()
{
	static const obs_output_info info = [] {
		obs_output_info i = {};
		i.id = kMuxOutputId;
		i.flags = OBS_OUTPUT_VIDEO | OBS_OUTPUT_AUDIO | OBS_OUTPUT_ENCODED;
		i.get_name = mux_get_name;
		i.create = mux_create;
		i.destroy = mux_destroy;
		i.start = mux_start;
		i.stop = mux_stop;
		i.encoded_packet = mux_encoded_packet;
		i.update = mux_update;
		i.get_defaults = mux_get_defaults;
		i.get_properties = mux_get_properties;
		i.get_total_bytes = mux_get_total_bytes;
		i.get_dropped_frames = mux_get_dropped_frames;
		i.get_congestion = mux_get_congestion;
		i.get_connect_time_ms = mux_get_connect_time_ms;
		return i;
	}();
	return info;
}

void register_mux_output_type()
{
	obs_register_output_s(&mux_output_info(), sizeof(obs_output_info));
}

MuxStatus mux_output_status(obs_output_t *output)
{
	MuxStatus status;
	const char *id = output ? obs_output_get_id(output) : nullptr;
	if (!id || strcmp(id, kMuxOutputId) != 0)
		return status;
	const auto *record = static_cast<const MuxOutputData *>(obs_obj_get_data(output));
	if (!record)
		return status;
	switch (record->published_phase.load()) {
	case RunPhase::Idle:
	case RunPhase::Failed:
		status.state = MuxState::Stopped;
		break;
	case RunPhase::Opening:
		status.state = MuxState::Connecting;
		break;
	case RunPhase::Streaming:
		status.state = MuxState::Streaming;
		break;
	case RunPhase::Reconnecting:
		status.state = MuxState::Reconnecting;
		break;
	}
	status.bytes_sent = record->total_bytes.load();
	status.frames_total = record->total_frames.load();
	status.frames_dropped = record->dropped_frames.load();
	status.congestion = record->congestion.load();
	status.queue_ms = static_cast<uint32_t>(std::min<int64_t>(record->queue_span_us.load() / 1000, UINT32_MAX));
	status.video_paused = record->video_paused.load();
	status.write_ms = record->write_ns.load() / 1000000;
	return status;
}

} // namespace brasslight
