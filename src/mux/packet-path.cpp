// The encoded-packet callback and the output's sender thread: connecting on the first packet
// and on reconnect attempts, timestamp conversion, writing from the first video keyframe on, the
// drop policy of a slow link, and the output's own reconnect mode.
//
// libobs delivers this output's audio and video packets under one interleaving lock of its own,
// on the host's single audio thread (which also mixes the main stream's audio) and on the video
// thread: anything the callback waits for, the main stream waits for. So the callback only takes
// a reference to the packet into the queue under the record's short lock; the sender finds it.
// The sender thread owns the connection: it connects, converts, writes and flushes, and closes.
// When the link is slower than the stream the queue grows, and the drop policy (packet-queue.hpp)
// sheds video by priority; the host's threads never notice.

#include "mux/mux-output-data.hpp"
#include "mux/mux-output.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <sched.h>
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

// How often the sender looks for work. The packet callback wakes no one: a wake-up is a system
// call, and on a loaded machine a system call is where the scheduler takes the processor away
// from the calling thread, which is the host's audio or video thread. Measured in the real host
// app on two busy cores: a wake-up per packet gave the callback a p99 hold time of 7 to 15 ms;
// without it, tens of microseconds. The poll costs about a hundred short wake-ups a second of a
// thread that would otherwise wake for every packet, and delays a packet by at most 10 ms.
constexpr auto kSenderPoll = std::chrono::milliseconds(10);

// Above this the queue counts as congested in the hold-time statistics.
constexpr int64_t kCongestedSpanUs = 100000;

enum class WriteResult { Written, Skipped, Disconnected, Failed };

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

uint64_t thread_cpu_ns()
{
	timespec ts {};
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
	return static_cast<uint64_t>(ts.tv_sec) * kSecondNs + static_cast<uint64_t>(ts.tv_nsec);
}

// Lock held: the phase, also for readers without the lock.
void set_phase(MuxOutputData &record, RunPhase phase)
{
	record.phase = phase;
	record.published_phase.store(phase);
}

void emit_signal(MuxOutputData &record, const char *name, int timeout_sec = -1)
{
	calldata_t data = {};
	calldata_set_ptr(&data, "output", record.output);
	if (timeout_sec >= 0)
		calldata_set_int(&data, "timeout_sec", timeout_sec);
	signal_handler_signal(obs_output_get_signal_handler(record.output), name, &data);
	calldata_free(&data);
}

// Writes one packet into the open muxer; on the sender, without the lock. A lost connection
// leaves the write's error code in disconnect_code.
WriteResult write_packet(MuxOutputData &record, const encoder_packet &in, int &disconnect_code)
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
	// No copy: the packet points at the queued reference for this one call, and libavformat
	// makes its own reference when its interleaver keeps the packet.
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
	const int rc = av_interleaved_write_frame(record.fmt_ctx.get(), packet.get());
	if (rc >= 0) {
		if (pb)
			record.total_bytes.fetch_add(
				static_cast<uint64_t>(std::max<int64_t>(0, avio_tell(pb) - position)));
		record.packets_written.fetch_add(1);
		return WriteResult::Written;
	}
	if (halt_requested(record) || record.overflow)
		// Cut short by a stop, or by the full queue, which the send loop reports.
		return WriteResult::Disconnected;

	log_msg(LOG_ERROR, texts.write_failed_log, describe_error(rc).c_str(), rc, noted_pts, noted_dts,
		noted_duration);
	const int io_error = pb ? pb->error : 0;
	if (is_disconnect_error(rc, io_error)) {
		disconnect_code = rc;
		return WriteResult::Disconnected;
	}
	obs_output_set_last_error(record.output, texts.write_failed);
	return WriteResult::Failed;
}

// The connection is lost (a write failed on it, or the queue overflowed); on the sender, lock
// held on entry and exit. Packets are dropped from now on until an attempt succeeds. The state
// and the last error change before the line is logged: whoever reads the line finds both.
void enter_reconnect_mode(MuxOutputData &record, std::unique_lock<std::mutex> &lock, const char *reason, int code)
{
	set_phase(record, RunPhase::Reconnecting);
	obs_output_set_last_error(record.output, "RTMP disconnected, reconnecting...");
	log_msg(LOG_WARNING, "entering reconnect mode: %s (%s, code=%d)", reason, describe_error(code).c_str(), code);
	record.overflow = false;
	record.queue.clear();
	record.congestion.store(0.0f);
	record.next_attempt_ns = UINT64_MAX; // none before the close is done
	lock.unlock();
	close_muxer(record);
	lock.lock();
	if (record.halting)
		return;
	record.reconnect_attempts += 1;
	const uint64_t delay = reconnect_delay_ns(record.reconnect_attempts);
	record.next_attempt_ns = os_gettime_ns() + delay;
	lock.unlock();
	emit_signal(record, "reconnect", static_cast<int>(delay / kSecondNs));
	lock.lock();
}

// Lock held.
void reconnect_failed(MuxOutputData &record)
{
	record.reconnect_attempts += 1;
	record.next_attempt_ns = os_gettime_ns() + reconnect_delay_ns(record.reconnect_attempts);
	log_msg(LOG_WARNING, "reconnect failed, will retry");
}

// The run ends on an error: one stop per run, raised here and nowhere else; the muxer closes at
// once. Lock held on entry and exit.
void fail_run(MuxOutputData &record, std::unique_lock<std::mutex> &lock)
{
	set_phase(record, RunPhase::Failed);
	record.queue.clear();
	record.congestion.store(0.0f);
	lock.unlock();
	close_muxer(record);
	// Not under the lock: raising the stop emits the host's "stop" signal on this thread, and
	// its handlers may call into the output.
	obs_output_signal_stop(record.output, OBS_OUTPUT_ERROR);
	lock.lock();
}

// A packet asked for a connection; lock held on entry and exit.
// A failed connect: a reconnect waits for its next attempt, a first connect ends the run.
void connect_failed(MuxOutputData &record, std::unique_lock<std::mutex> &lock, bool reconnecting)
{
	if (reconnecting) {
		reconnect_failed(record);
		return;
	}
	log_msg(LOG_ERROR, "open_muxer fatal — stopping output");
	fail_run(record, lock);
}

void connect(MuxOutputData &record, std::unique_lock<std::mutex> &lock)
{
	record.connect_requested = false;
	const bool reconnecting = record.phase == RunPhase::Reconnecting;
	if (reconnecting)
		log_msg(LOG_INFO, "attempting reconnect on keyframe");
	MuxerRequest request;
	switch (prepare_muxer(record, request)) {
	case PrepareResult::Ready:
		break;
	case PrepareResult::NotReady:
		// Each later packet asks again until the encoders have their header data.
		if (reconnecting)
			record.next_attempt_ns = os_gettime_ns() + kSecondNs;
		return;
	case PrepareResult::Fatal:
		connect_failed(record, lock, reconnecting);
		return;
	}

	record.connect_running = true;
	record.connecting.store(true);
	lock.unlock();
	const uint64_t began = os_gettime_ns();
	OpenedMuxer opened = open_muxer(record, request);
	const uint64_t took_ms = (os_gettime_ns() - began) / 1000000;
	lock.lock();
	record.connecting.store(false);
	record.connect_running = false;
	if (record.halting) {
		// Stopped (or restarted) while connecting: the result belongs to a run that is over.
		lock.unlock();
		if (opened.context)
			discard_muxer(record, std::move(opened.context));
		lock.lock();
		return;
	}
	if (!opened.context) {
		obs_output_set_last_error(record.output, opened.error);
		// The reconnect delay counts from the end of the attempt.
		connect_failed(record, lock, reconnecting);
		return;
	}
	adopt_muxer(record, std::move(opened.context));
	set_phase(record, RunPhase::Streaming);
	record.awaiting_keyframe = true;
	if (!reconnecting) {
		record.connect_time_ms.store(static_cast<int>(std::min<uint64_t>(took_ms, INT_MAX)));
		return;
	}
	record.reconnect_attempts = 0;
	log_msg(LOG_INFO, "reconnect succeeded");
	lock.unlock();
	emit_signal(record, "reconnect_success");
	lock.lock();
}

// Takes the next packet and writes it; lock held on entry and exit.
void send_next(MuxOutputData &record, std::unique_lock<std::mutex> &lock)
{
	QueuedPacket packet;
	record.queue.pop(packet);
	record.congestion.store(record.queue.congestion());
	lock.unlock();
	int code = 0;
	const WriteResult result = write_packet(record, packet.get(), code);
	const StreamTexts &texts = packet.get().type == OBS_ENCODER_VIDEO ? kVideoTexts : kAudioTexts;
	packet = QueuedPacket();
	lock.lock();
	record.queue.sent();
	record.congestion.store(record.queue.congestion());
	if (record.halting)
		return;
	if (result == WriteResult::Disconnected && !record.overflow)
		enter_reconnect_mode(record, lock, texts.reconnect_reason, code);
	else if (result == WriteResult::Failed)
		fail_run(record, lock);
}

void log_hold_stats(MuxOutputData &record, uint64_t sender_cpu_ns)
{
	std::lock_guard<std::mutex> lock(record.hold.mutex);
	const char *names[] = {"streaming", "congested", "reconnecting"};
	std::string line;
	for (int i = 0; i < 3; ++i) {
		std::vector<uint32_t> &ns = record.hold.ns[i];
		if (ns.empty())
			continue;
		std::sort(ns.begin(), ns.end());
		char part[160];
		snprintf(part, sizeof(part), "%s%s n=%zu median=%.1f p99=%.1f max=%.1f", line.empty() ? "" : "; ",
			 names[i], ns.size(), ns[ns.size() / 2] / 1e3,
			 ns[std::min(ns.size() - 1, ns.size() * 99 / 100)] / 1e3, ns.back() / 1e3);
		line += part;
		ns.clear();
	}
	const uint64_t written = record.packets_written.load();
	log_msg(LOG_INFO, "packet callback hold µs: %s", line.empty() ? "no samples" : line.c_str());
	log_msg(LOG_INFO, "CPU per packet µs: callback %.1f (%llu calls), sender %.1f (%llu packets written)",
		record.hold.callbacks ? record.hold.callback_cpu_ns / 1e3 / double(record.hold.callbacks) : 0.0,
		static_cast<unsigned long long>(record.hold.callbacks),
		written ? sender_cpu_ns / 1e3 / double(written) : 0.0, static_cast<unsigned long long>(written));
	record.hold.callbacks = 0;
	record.hold.callback_cpu_ns = 0;
}

void send_loop(MuxOutputData &record)
{
#if defined(__linux__)
	// A batch thread never preempts a running thread when it wakes: its looks for work never
	// take the processor from the host's audio or video threads; it runs at the scheduler's
	// next turn instead, a delay of milliseconds that no stream minds.
	sched_param batch = {};
	pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);
#endif
	std::unique_lock<std::mutex> lock(record.mutex);
	while (!record.halting && record.phase != RunPhase::Failed) {
		// Looks for work every kSenderPoll: the packet callback wakes no one (see there).
		if (!record.wake.wait_for(lock, kSenderPoll, [&record] {
			    return record.halting || record.overflow || record.connect_requested ||
				   !record.queue.empty();
		    }))
			continue;
		if (record.halting)
			break;
		if (record.overflow) {
			enter_reconnect_mode(record, lock, "send queue full", AVERROR(ETIMEDOUT));
		} else if (record.connect_requested) {
			connect(record, lock);
		} else {
			send_next(record, lock);
		}
	}
	record.queue.clear();
	lock.unlock();
	close_muxer(record);
	if (record.measure_hold)
		log_hold_stats(record, thread_cpu_ns());
}

// Everything the callback does with the record's lock held.
void handle_packet(MuxOutputData &record, encoder_packet *packet)
{
	switch (record.phase) {
	case RunPhase::Idle:
	case RunPhase::Failed:
		return;
	case RunPhase::Opening:
		// Dropped, as every packet until the connection is up and a keyframe comes.
		if (!record.connect_running)
			record.connect_requested = true;
		return;
	case RunPhase::Reconnecting:
		// Dropped; a video keyframe at or after the deadline starts an attempt.
		if (!record.connect_running && is_video_keyframe(*packet) && os_gettime_ns() >= record.next_attempt_ns)
			record.connect_requested = true;
		return;
	case RunPhase::Streaming:
		break;
	}
	const bool video = packet->type == OBS_ENCODER_VIDEO;
	if (record.awaiting_keyframe) {
		// Audio before it would only make the server wait for the video.
		if (!is_video_keyframe(*packet))
			return;
		record.awaiting_keyframe = false;
	}
	if (video)
		record.total_frames.store(++record.video_frames);
	if (record.queue.push(packet) == PacketQueue::Push::Overflow)
		record.overflow = true;
	record.dropped_frames.store(record.queue.dropped_frames());
	record.congestion.store(record.queue.congestion());
}

} // namespace

void launch_sender(MuxOutputData &record)
{
	record.sender = std::thread([&record] { send_loop(record); });
}

bool halt_sender(MuxOutputData &record)
{
	bool was_active = false;
	{
		// Brief: a packet callback that waits on the lock then sees the output Idle.
		std::lock_guard<std::mutex> lock(record.mutex);
		was_active = record.phase != RunPhase::Idle && record.phase != RunPhase::Failed;
		record.halting = true;
		record.halt_deadline_ns.store(os_gettime_ns() + kHaltBudgetNs);
		set_phase(record, RunPhase::Idle);
		record.queue.clear();
		record.congestion.store(0.0f);
		record.connect_requested = false;
		record.overflow = false;
		record.next_attempt_ns = 0;
		record.reconnect_attempts = 0;
	}
	record.wake.notify_all();
	// Not under the lock: the sender takes it to finish.
	if (record.sender.joinable())
		record.sender.join();
	{
		std::lock_guard<std::mutex> lock(record.mutex);
		record.halting = false;
	}
	record.halt_deadline_ns.store(0);
	return was_active;
}

bool halt_requested(const MuxOutputData &record)
{
	return record.halt_deadline_ns.load() != 0;
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

	// The thread's CPU clock is a system call: read outside the timed span, whose own clock
	// reads are not.
	const uint64_t cpu_began = record->measure_hold ? thread_cpu_ns() : 0;
	const uint64_t began = record->measure_hold ? os_gettime_ns() : 0;
	int bucket = 0;
	{
		// Short: a queue operation. The sender never holds it across network I/O.
		std::lock_guard<std::mutex> lock(record->mutex);
		handle_packet(*record, packet);
		if (record->measure_hold)
			bucket = record->phase == RunPhase::Reconnecting      ? 2
				 : record->queue.span_us() > kCongestedSpanUs ? 1
									      : 0;
	}
	if (!record->measure_hold)
		return;
	const uint64_t held = os_gettime_ns() - began;
	const uint64_t cpu = thread_cpu_ns() - cpu_began;
	std::lock_guard<std::mutex> lock(record->hold.mutex);
	record->hold.ns[bucket].push_back(static_cast<uint32_t>(std::min<uint64_t>(held, UINT32_MAX)));
	record->hold.callback_cpu_ns += cpu;
	record->hold.callbacks += 1;
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
	status.connect_time_ms = record->connect_time_ms.load();
	return status;
}

} // namespace brasslight
