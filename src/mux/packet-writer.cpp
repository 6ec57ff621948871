// One packet into the open muxer, on the output's sender thread without the record's lock: the
// host's timestamps in the stream's time base, the write, and what a failed write means.

#include "mux/mux-output-data.hpp"

#include <algorithm>
#include <climits>

extern "C" {
#include <libavformat/avformat.h>
}

#include <util/platform.h>

#include "common/log.hpp"

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
	const char *write_failed;
};

const StreamTexts kVideoTexts = {
	"av_packet_alloc(video) failed",
	"av_write_frame(video) failed: %s (code=%d) pts=%lld dts=%lld dur=%lld",
	"av_write_frame(video) failed",
};
const StreamTexts kAudioTexts = {
	"av_packet_alloc(audio) failed",
	"av_write_frame(audio) failed: %s (code=%d) pts=%lld dts=%lld dur=%lld",
	"av_write_frame(audio) failed",
};

} // namespace

WriteResult write_packet(MuxOutputData &record, const SenderRun &run, const encoder_packet &in, int &error_code)
{
	const bool video = in.type == OBS_ENCODER_VIDEO;
	if (!video && in.type != OBS_ENCODER_AUDIO)
		return WriteResult::Skipped;
	AVStream *stream = video ? record.video_stream : record.audio_stream;
	const StreamTexts &texts = video ? kVideoTexts : kAudioTexts;
	// AVPacket sizes are int: nothing an encoder produces comes near the limit.
	if (!record.fmt_ctx || !stream || !in.data || in.size == 0 || in.size > static_cast<size_t>(INT_MAX))
		return WriteResult::Skipped;

	PacketPtr packet(av_packet_alloc());
	if (!packet) {
		obs_output_set_last_error(record.output, texts.alloc_failed);
		return WriteResult::Failed;
	}
	// No copy: the packet points at the queued reference for this one call, which writes it out.
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
	AVIOContext *pb = record.fmt_ctx->pb;
	const int64_t position = pb ? avio_tell(pb) : 0;
	// Straight to the muxer, not through libavformat's interleaver: the host hands this output its
	// packets already in dts order, audio and video together, and the queue keeps that order. The
	// interleaver would hold every audio packet until a video packet came: after the drop policy
	// has thrown the queued video away and waits for a keyframe, the viewer would hear nothing
	// until that keyframe (up to a keyframe interval) and then a burst.
	const uint64_t began = os_gettime_ns();
	const int rc = av_write_frame(record.fmt_ctx.get(), packet.get());
	record.write_ns.fetch_add(os_gettime_ns() - began);
	if (rc >= 0) {
		if (pb)
			record.total_bytes.fetch_add(
				static_cast<uint64_t>(std::max<int64_t>(0, avio_tell(pb) - position)));
		record.packets_written.fetch_add(1);
		return WriteResult::Written;
	}
	if (run.halted() || record.overflow)
		// Cut short by a stop, or by the full queue, which the send loop reports.
		return WriteResult::Disconnected;

	log_msg(LOG_ERROR, texts.write_failed_log, describe_error(rc).c_str(), rc, noted_pts, noted_dts,
		noted_duration);
	const int io_error = pb ? pb->error : 0;
	if (is_disconnect_error(rc, io_error)) {
		// Logged by the sender once it has entered reconnect mode.
		error_code = rc;
		return WriteResult::Disconnected;
	}
	obs_output_set_last_error(record.output, texts.write_failed);
	return WriteResult::Failed;
}

} // namespace brasslight
