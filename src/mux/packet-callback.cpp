// The host's encoded-packet callback, and the hold times it records when they are measured.
//
// libobs delivers this output's audio and video packets under one interleaving lock of its own,
// on the host's single audio thread (which also mixes the main stream's audio) and on the video
// thread: anything the callback waits for, the main stream waits for. So the callback only takes
// a reference to the packet into the queue under the record's short lock; the sender
// (sender.cpp) finds it there.

#include "mux/mux-output-data.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include <util/platform.h>

#include "common/log.hpp"

namespace brasslight {

namespace {

// Above this the queue counts as congested in the hold-time statistics.
constexpr int64_t kCongestedSpanUs = 100000;

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

// A video frame thrown away because the connection was lost; lock held.
void count_lost_frame(MuxOutputData &record)
{
	if (!record.frames_counted)
		return;
	record.total_frames.store(++record.video_frames);
	record.lost_frames += 1;
	publish_dropped(record);
}

// Everything the callback does with the record's lock held.
void handle_packet(MuxOutputData &record, encoder_packet *packet)
{
	const bool video = packet->type == OBS_ENCODER_VIDEO;
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
		if (video)
			count_lost_frame(record);
		return;
	case RunPhase::Streaming:
		break;
	}
	if (record.awaiting_keyframe) {
		// Audio before it would only make the server wait for the video.
		if (!is_video_keyframe(*packet)) {
			if (video)
				count_lost_frame(record);
			return;
		}
		record.awaiting_keyframe = false;
		record.frames_counted = true;
	}
	if (video)
		record.total_frames.store(++record.video_frames);
	if (record.queue.push(packet) == PacketQueue::Push::Overflow)
		record.overflow = true;
	publish_dropped(record);
	publish_queue(record);
}

} // namespace

void mux_encoded_packet(void *data, encoder_packet *packet)
{
	auto *record = static_cast<MuxOutputData *>(data);
	if (!record)
		return;
	if (!packet) {
		// The host hands a null packet when an encoder failed. The run ends: its sender closes
		// the connection, which the server would otherwise keep as a publisher that sends
		// nothing, and the host ends its capture.
		{
			// Short: the phase and the queue.
			std::lock_guard<std::mutex> lock(record->mutex);
			if (record->phase != RunPhase::Idle && record->phase != RunPhase::Failed) {
				set_phase(*record, RunPhase::Failed);
				record->queue.clear();
				publish_queue(*record);
			}
		}
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

void log_hold_stats(MuxOutputData &record)
{
	const uint64_t sender_cpu_ns = thread_cpu_ns();
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

} // namespace brasslight
