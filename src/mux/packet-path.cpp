// The encoded-packet callback: opening the muxer on the first packet, holding the first packets
// while the encoders' header data is missing, timestamp conversion, writing, and the output's
// own reconnect mode. Runs on the host's encoder threads (the audio thread and the video
// thread of the mix the video encoder encodes).

#include "mux/mux-output-data.hpp"

#include <climits>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include <util/bmem.h>
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

enum class StreamKind { Video, Audio };

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

std::string describe_error(int code)
{
	char text[256] = {};
	av_strerror(code, text, sizeof(text));
	return text;
}

void write_packet(MuxOutputData &record, StreamKind kind, const uint8_t *data, size_t size, int64_t pts, int64_t dts,
		  int32_t timebase_num, int32_t timebase_den, bool keyframe)
{
	const bool video = kind == StreamKind::Video;
	AVStream *stream = video ? record.video_stream : record.audio_stream;
	const StreamTexts &texts = video ? kVideoTexts : kAudioTexts;
	// AVPacket sizes are int: nothing an encoder produces comes near the limit.
	if (!record.fmt_ctx || !stream || !data || size == 0 || size > static_cast<size_t>(INT_MAX))
		return;

	PacketPtr packet(av_packet_alloc());
	if (!packet) {
		obs_output_set_last_error(record.output, texts.alloc_failed);
		obs_output_signal_stop(record.output, OBS_OUTPUT_ERROR);
		return;
	}
	// No copy: the packet points at the host's buffer for this one call, and libavformat makes
	// its own reference when its interleaver keeps the packet.
	packet->data = const_cast<uint8_t *>(data);
	packet->size = static_cast<int>(size);
	packet->stream_index = stream->index;
	packet->pts = rescale_timestamp(pts, timebase_num, timebase_den, stream->time_base.num, stream->time_base.den);
	packet->dts = rescale_timestamp(dts, timebase_num, timebase_den, stream->time_base.num, stream->time_base.den);
	packet->duration = 0;
	enforce_monotonic_dts(packet->pts, packet->dts, video ? record.last_video_dts : record.last_audio_dts);
	if (video && keyframe)
		packet->flags |= AV_PKT_FLAG_KEY;

	// The write consumes the packet's fields: note them for the failure line.
	const long long noted_pts = packet->pts;
	const long long noted_dts = packet->dts;
	const long long noted_duration = packet->duration;
	arm_io_deadline(record, kWriteBudgetNs);
	const int rc = av_interleaved_write_frame(record.fmt_ctx.get(), packet.get());
	disarm_io_deadline(record);
	if (rc >= 0)
		return;

	log_msg(LOG_ERROR, texts.write_failed_log, describe_error(rc).c_str(), rc, noted_pts, noted_dts,
		noted_duration);
	const int io_error = record.fmt_ctx->pb ? record.fmt_ctx->pb->error : 0;
	if (is_disconnect_error(rc, io_error)) {
		enter_reconnect_mode(record, texts.reconnect_reason, rc);
		return;
	}
	// A fault in the stream itself: the host ends capture; the muxer stays until the next start.
	obs_output_set_last_error(record.output, texts.write_failed);
	obs_output_signal_stop(record.output, OBS_OUTPUT_ERROR);
}

void hold_packet(HeldPacket &held, const encoder_packet &packet, bool keep_keyframe)
{
	held.data.reset(static_cast<uint8_t *>(bmemdup(packet.data, packet.size)));
	held.size = packet.size;
	held.pts = packet.pts;
	held.dts = packet.dts;
	held.timebase_num = packet.timebase_num;
	held.timebase_den = packet.timebase_den;
	held.keyframe = keep_keyframe && packet.keyframe;
	held.present = true;
}

void write_packet(MuxOutputData &record, const encoder_packet &packet)
{
	if (packet.type == OBS_ENCODER_VIDEO)
		write_video_packet(record, packet.data, packet.size, packet.pts, packet.dts, packet.timebase_num,
				   packet.timebase_den, packet.keyframe);
	else if (packet.type == OBS_ENCODER_AUDIO)
		write_audio_packet(record, packet.data, packet.size, packet.pts, packet.dts, packet.timebase_num,
				   packet.timebase_den);
}

// Reconnect mode: every packet is dropped except a video keyframe at or after the deadline,
// which tries a new connection and, once it is up, starts it.
void handle_reconnecting(MuxOutputData &record, const encoder_packet &packet)
{
	if (os_gettime_ns() < record.next_attempt_ns)
		return;
	if (packet.type != OBS_ENCODER_VIDEO || !packet.keyframe)
		return;

	log_msg(LOG_INFO, "attempting reconnect on keyframe");
	switch (open_muxer(record)) {
	case OpenResult::Opened:
		record.reconnecting = false;
		record.reconnect_attempts = 0;
		release_held_packet(record.held_video);
		release_held_packet(record.held_audio);
		log_msg(LOG_INFO, "reconnect succeeded");
		// The keyframe that opened the connection goes into it: the server has a decodable
		// picture at once instead of a whole keyframe interval later.
		write_packet(record, packet);
		break;
	case OpenResult::NotReady:
		record.next_attempt_ns = os_gettime_ns() + kSecondNs;
		break;
	case OpenResult::Fatal:
		record.reconnect_attempts += 1;
		record.next_attempt_ns = os_gettime_ns() + reconnect_delay_ns(record.reconnect_attempts);
		log_msg(LOG_WARNING, "reconnect failed, will retry");
		break;
	}
}

} // namespace

void write_video_packet(MuxOutputData &record, const uint8_t *data, size_t size, int64_t pts, int64_t dts,
			int32_t timebase_num, int32_t timebase_den, bool keyframe)
{
	write_packet(record, StreamKind::Video, data, size, pts, dts, timebase_num, timebase_den, keyframe);
}

void write_audio_packet(MuxOutputData &record, const uint8_t *data, size_t size, int64_t pts, int64_t dts,
			int32_t timebase_num, int32_t timebase_den)
{
	write_packet(record, StreamKind::Audio, data, size, pts, dts, timebase_num, timebase_den, false);
}

void enter_reconnect_mode(MuxOutputData &record, const char *reason, int code)
{
	log_msg(LOG_WARNING, "entering reconnect mode: %s (%s, code=%d)", reason, describe_error(code).c_str(), code);
	close_muxer(record);
	release_held_packet(record.held_video);
	release_held_packet(record.held_audio);
	record.reconnect_attempts += 1;
	record.reconnecting = true;
	record.next_attempt_ns = os_gettime_ns() + reconnect_delay_ns(record.reconnect_attempts);
	obs_output_set_last_error(record.output, "RTMP disconnected, reconnecting...");
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

	// Held across the connect and the writes: start, update, stop and destroy must never see a
	// half-open muxer or a half-written packet.
	std::lock_guard<std::mutex> lock(record->mutex);
	if (!record->active)
		return;
	if (record->reconnecting) {
		handle_reconnecting(*record, *packet);
		return;
	}

	if (!record->fmt_ctx) {
		switch (open_muxer(*record)) {
		case OpenResult::Fatal:
			log_msg(LOG_ERROR, "open_muxer fatal — stopping output");
			record->active = false;
			release_held_packet(record->held_video);
			release_held_packet(record->held_audio);
			// Ends capture too, and raises exactly one "stop", with the error code.
			obs_output_signal_stop(record->output, OBS_OUTPUT_ERROR);
			return;
		case OpenResult::NotReady:
			// An empty packet would be written as nothing anyway; holding it would ask bmemdup
			// for zero bytes.
			if (!packet->data || packet->size == 0)
				return;
			if (packet->type == OBS_ENCODER_VIDEO && !record->held_video.present)
				hold_packet(record->held_video, *packet, true);
			else if (packet->type == OBS_ENCODER_AUDIO && !record->held_audio.present)
				hold_packet(record->held_audio, *packet, false);
			return;
		case OpenResult::Opened:
			if (record->held_video.present) {
				const HeldPacket &held = record->held_video;
				write_video_packet(*record, held.data.get(), held.size, held.pts, held.dts,
						   held.timebase_num, held.timebase_den, held.keyframe);
				release_held_packet(record->held_video);
			}
			if (record->held_audio.present) {
				const HeldPacket &held = record->held_audio;
				write_audio_packet(*record, held.data.get(), held.size, held.pts, held.dts,
						   held.timebase_num, held.timebase_den);
				release_held_packet(record->held_audio);
			}
			break;
		}
	}
	write_packet(*record, *packet);
}

} // namespace brasslight
