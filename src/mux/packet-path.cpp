// The encoded-packet callback and the output's connection state machine: starting the connect
// on the first packet and on reconnect attempts, publishing its result, timestamp conversion,
// writing from the first video keyframe on, and the output's own reconnect mode.
//
// The connect (TCP, TLS, the RTMP handshake and the FLV header, up to kOpenBudgetNs) never runs
// on a host thread: libobs delivers this output's audio and video packets under one lock of its
// own, so a connect in the callback would pause the host's audio thread, and with it the main
// stream's audio. The callback copies what the connect needs and hands it to the record's
// connect worker; packets that arrive meanwhile are dropped, never queued. The worker publishes
// the open muxer (or the failure) under the record's lock, and the next packets act on it.

#include "mux/mux-output-data.hpp"

#include <climits>
#include <utility>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include <util/platform.h>

#include "module/log.hpp"

namespace brasslight {

namespace {

struct PacketDeleter {
	void operator()(AVPacket *packet) const
	{
		// The payload belongs to the host: detach it before libavcodec frees the packet.
		packet->data = nullptr;
		packet->size = 0;
		av_packet_free(&packet);
	}
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

struct StreamTexts {
	const char *alloc_failed;
	const char *write_failed_log;
	const char *reconnect_reason;
	const char *write_failed;
};

const StreamTexts kVideoTexts = {
	"av_packet_alloc(video) failed",
	"av_interleaved_write_frame(video) failed: %s (code=%d) pts=%lld dts=%lld dur=%lld",
	"video write failed",
	"av_interleaved_write_frame(video) failed",
};
const StreamTexts kAudioTexts = {
	"av_packet_alloc(audio) failed",
	"av_interleaved_write_frame(audio) failed: %s (code=%d) pts=%lld dts=%lld dur=%lld",
	"audio write failed",
	"av_interleaved_write_frame(audio) failed",
};

// No stop to raise.
constexpr int kNoStop = 0;

std::string describe_error(int code)
{
	char text[256] = {};
	av_strerror(code, text, sizeof(text));
	return text;
}

bool is_video_keyframe(const encoder_packet &packet)
{
	return packet.type == OBS_ENCODER_VIDEO && packet.keyframe;
}

void enter_reconnect_mode(MuxOutputData &record, const char *reason, int code)
{
	log_msg(LOG_WARNING, "entering reconnect mode: %s (%s, code=%d)", reason, describe_error(code).c_str(), code);
	close_muxer(record);
	record.reconnect_attempts += 1;
	record.reconnecting = true;
	record.next_attempt_ns = os_gettime_ns() + reconnect_delay_ns(record.reconnect_attempts);
	obs_output_set_last_error(record.output, "RTMP disconnected, reconnecting...");
}

// Writes one packet of the open muxer; lock held. Returns the stop code to raise.
int write_packet(MuxOutputData &record, const encoder_packet &in)
{
	const bool video = in.type == OBS_ENCODER_VIDEO;
	if (!video && in.type != OBS_ENCODER_AUDIO)
		return kNoStop;
	AVStream *stream = video ? record.video_stream : record.audio_stream;
	const StreamTexts &texts = video ? kVideoTexts : kAudioTexts;
	// AVPacket sizes are int: nothing an encoder produces comes near the limit.
	if (!record.fmt_ctx || !stream || !in.data || in.size == 0 || in.size > static_cast<size_t>(INT_MAX))
		return kNoStop;
	// A new connection starts with a picture the server can decode; audio before it would only
	// make the server wait for the video.
	if (record.awaiting_keyframe) {
		if (!is_video_keyframe(in))
			return kNoStop;
		record.awaiting_keyframe = false;
	}

	PacketPtr packet(av_packet_alloc());
	if (!packet) {
		obs_output_set_last_error(record.output, texts.alloc_failed);
		return OBS_OUTPUT_ERROR;
	}
	// No copy: the packet points at the host's buffer for this one call, and libavformat makes
	// its own reference when its interleaver keeps the packet.
	packet->data = in.data;
	packet->size = static_cast<int>(in.size);
	packet->stream_index = stream->index;
	const AVRational tb = stream->time_base;
	// The host counts packet times in units of 1/timebase_den; timebase_num is the length of one
	// video frame in those units (1001 at 30000/1001), not part of the unit. Read as a unit of
	// num/den, a 29.97 fps stream ran 1001 times too slow and its video never left the muxer.
	packet->pts = rescale_timestamp(in.pts, 1, in.timebase_den, tb.num, tb.den);
	packet->dts = rescale_timestamp(in.dts, 1, in.timebase_den, tb.num, tb.den);
	packet->duration = 0;
	enforce_monotonic_dts(packet->pts, packet->dts, video ? record.last_video_dts : record.last_audio_dts);
	if (video && in.keyframe)
		packet->flags |= AV_PKT_FLAG_KEY;

	// The write consumes the packet's fields: note them for the failure line.
	const long long noted_pts = packet->pts;
	const long long noted_dts = packet->dts;
	const long long noted_duration = packet->duration;
	arm_io_deadline(record, kWriteBudgetNs);
	const int rc = av_interleaved_write_frame(record.fmt_ctx.get(), packet.get());
	disarm_io_deadline(record);
	if (rc >= 0)
		return kNoStop;

	log_msg(LOG_ERROR, texts.write_failed_log, describe_error(rc).c_str(), rc, noted_pts, noted_dts,
		noted_duration);
	const int io_error = record.fmt_ctx->pb ? record.fmt_ctx->pb->error : 0;
	if (is_disconnect_error(rc, io_error)) {
		enter_reconnect_mode(record, texts.reconnect_reason, rc);
		return kNoStop;
	}
	// A fault in the stream itself: the host ends capture; the muxer stays until the next start.
	obs_output_set_last_error(record.output, texts.write_failed);
	return OBS_OUTPUT_ERROR;
}

void reconnect_failed(MuxOutputData &record)
{
	record.reconnect_attempts += 1;
	record.next_attempt_ns = os_gettime_ns() + reconnect_delay_ns(record.reconnect_attempts);
	log_msg(LOG_WARNING, "reconnect failed, will retry");
}

// On the connect worker's thread: connects, then publishes the result under the lock.
void run_connect(MuxOutputData &record, const MuxerRequest &request)
{
	OpenedMuxer opened = open_muxer(record, request);
	std::unique_lock<std::mutex> lock(record.mutex);
	record.connect_phase = ConnectPhase::Idle;
	if (!record.active) {
		// Stopped (or restarted) while connecting: the result belongs to a run that is over.
		lock.unlock();
		if (opened.context)
			discard_muxer(record, std::move(opened.context));
		return;
	}
	if (opened.context) {
		adopt_muxer(record, std::move(opened.context));
		if (record.reconnecting) {
			record.reconnecting = false;
			record.reconnect_attempts = 0;
			log_msg(LOG_INFO, "reconnect succeeded");
		}
		return;
	}
	obs_output_set_last_error(record.output, opened.error);
	if (record.reconnecting)
		// The delay counts from the end of the attempt.
		reconnect_failed(record);
	else
		record.connect_phase = ConnectPhase::FirstOpenFailed;
}

// Starts a connect when the encoders are ready for one; lock held. Returns the result of the
// preparation.
PrepareResult start_connect(MuxOutputData &record)
{
	MuxerRequest request;
	const PrepareResult prepared = prepare_muxer(record, request);
	if (prepared != PrepareResult::Ready)
		return prepared;
	record.connect_phase = ConnectPhase::Connecting;
	record.connector.launch([&record, request = std::move(request)] { run_connect(record, request); });
	return prepared;
}

// The first open after start failed; lock held. Returns the stop code to raise.
int stop_after_failed_open(MuxOutputData &record)
{
	log_msg(LOG_ERROR, "open_muxer fatal — stopping output");
	record.active = false;
	record.connect_phase = ConnectPhase::Idle;
	// Raising the stop also ends capture, and gives exactly one "stop", with the error code.
	return OBS_OUTPUT_ERROR;
}

// Reconnect mode: every packet is dropped; a video keyframe at or after the deadline starts an
// attempt, unless one is under way.
void handle_reconnecting(MuxOutputData &record, const encoder_packet &packet)
{
	if (record.connect_phase == ConnectPhase::Connecting || os_gettime_ns() < record.next_attempt_ns ||
	    !is_video_keyframe(packet))
		return;

	log_msg(LOG_INFO, "attempting reconnect on keyframe");
	switch (start_connect(record)) {
	case PrepareResult::Ready:
		break;
	case PrepareResult::NotReady:
		record.next_attempt_ns = os_gettime_ns() + kSecondNs;
		break;
	case PrepareResult::Fatal:
		reconnect_failed(record);
		break;
	}
}

// Everything the callback does with the record's lock held. Returns the stop code to raise.
int handle_packet(MuxOutputData &record, const encoder_packet &packet)
{
	if (!record.active)
		return kNoStop;
	if (record.reconnecting) {
		handle_reconnecting(record, packet);
		return kNoStop;
	}
	switch (record.connect_phase) {
	case ConnectPhase::Connecting:
		return kNoStop;
	case ConnectPhase::FirstOpenFailed:
		return stop_after_failed_open(record);
	case ConnectPhase::Idle:
		break;
	}
	if (record.fmt_ctx)
		return write_packet(record, packet);
	// Opening: the packet itself is dropped, as every packet until the connection is up and a
	// keyframe comes. Until the encoders have their header data, each packet asks again.
	if (start_connect(record) == PrepareResult::Fatal)
		return stop_after_failed_open(record);
	return kNoStop;
}

} // namespace

bool halt_connecting(MuxOutputData &record)
{
	bool was_active = false;
	{
		// Brief: a packet callback that waits on the lock then sees the output inactive, and
		// starts no connect while the worker is being joined.
		std::lock_guard<std::mutex> lock(record.mutex);
		was_active = record.active;
		record.active = false;
		record.reconnecting = false;
		record.next_attempt_ns = 0;
		record.reconnect_attempts = 0;
	}
	// Not under the lock: the worker takes it to publish what it found.
	record.connector.cancel_and_join();
	return was_active;
}

void mux_encoded_packet(void *data, encoder_packet *packet)
{
	auto *record = static_cast<MuxOutputData *>(data);
	if (!record)
		return;
	if (!packet) {
		// The host hands a null packet when an encoder failed.
		obs_output_signal_stop(record->output, OBS_OUTPUT_ENCODE_ERROR);
		return;
	}

	int stop_code = kNoStop;
	{
		// Held across the writes: start, update, stop, destroy and the connect worker must never
		// see a half-written packet. Never across a connect.
		std::lock_guard<std::mutex> lock(record->mutex);
		stop_code = handle_packet(*record, *packet);
	}
	// Not under the lock: raising the stop emits the host's "stop" signal on this thread, and a
	// handler that stops the output would wait for the lock in our stop callback.
	if (stop_code != kNoStop)
		obs_output_signal_stop(record->output, stop_code);
}

} // namespace brasslight
