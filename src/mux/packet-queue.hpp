#pragma once

// The encoded packets between the host's packet callback and the output's sender thread, and the
// drop policy that keeps a slow link from growing the queue without bound. The owner guards it
// with its own lock; nothing here touches the network.

#include <cstddef>
#include <cstdint>
#include <deque>

#include <obs.h>

namespace brasslight {

// The queue is measured in media time: the dts (microseconds, one clock for audio and video) of
// the newest packet minus that of the oldest. Thresholds as the host's own RTMP output uses them:
//
// Past 0.7 s the link has fallen behind by more than any burst a healthy uplink absorbs (a
// keyframe is a few frames' worth): the disposable frames go. No frame refers to them, so the
// picture stays decodable and writing goes on.
inline constexpr int64_t kDropDisposableUs = 700000;
// Past 0.9 s dropping disposable frames was not enough: all queued video goes, and video resumes
// at the next keyframe, so the server never gets a frame whose reference is missing. The viewer
// sees the picture pause and resume instead of a stream that falls further and further behind.
inline constexpr int64_t kDropVideoUs = 900000;
// Audio is never dropped before this: it is a tenth of the stream, so with the video gone the
// queue grows this long only when the link cannot carry even the sound, or has stalled. That link
// is as good as lost: the output treats it as a disconnect and reconnects. It is long because a
// socket takes new data only after a good part of its buffer (which the kernel grows to hundreds
// of kB) has drained: on a link of a few hundred kbit/s one write can wait several seconds while
// the link still works. The packet cap guards the same limit against timestamps that stop
// advancing (about 10 s of 60 fps video and 48 kHz audio).
inline constexpr int64_t kQueueCapUs = 10000000;
inline constexpr size_t kQueueCapPackets = 2048;

// One packet with a reference of its own on the host's payload.
class QueuedPacket {
public:
	QueuedPacket() = default;
	explicit QueuedPacket(encoder_packet *source);
	QueuedPacket(QueuedPacket &&other) noexcept;
	QueuedPacket &operator=(QueuedPacket &&other) noexcept;
	QueuedPacket(const QueuedPacket &) = delete;
	QueuedPacket &operator=(const QueuedPacket &) = delete;
	~QueuedPacket();

	const encoder_packet &get() const { return packet_; }
	bool video() const { return packet_.type == OBS_ENCODER_VIDEO; }
	bool keyframe() const { return video() && packet_.keyframe; }
	// A video frame no other frame refers to (every slice has nal_ref_idc 0).
	bool disposable() const { return disposable_; }

private:
	void release();

	encoder_packet packet_ = {};
	bool held_ = false;
	bool disposable_ = false;
};

class PacketQueue {
public:
	enum class Push {
		Queued,
		Dropped,  // by the drop policy; counted when video
		Overflow, // the queue reached its cap: nothing was queued
	};

	// Applies the drop policy and queues a reference to the packet. O(1) unless it drops.
	Push push(encoder_packet *packet);
	// Takes the oldest packet. Until sent() the queue still counts from its dts: a write that
	// waits for the link is part of the backlog.
	bool pop(QueuedPacket &out);
	void sent() { in_flight_dts_usec_ = kNone; }
	// Releases everything and forgets the drop state (a new connection or run). Returns how many
	// video frames that threw away.
	size_t clear();

	bool empty() const { return packets_.empty(); }
	size_t size() const { return packets_.size(); }
	// Newest minus oldest dts in microseconds, the packet being written included; 0 when there
	// is no backlog.
	int64_t span_us() const;
	// The span against the threshold that drops all video, 0 to 1, and 1 while video waits for a
	// keyframe (the server then has sound and no picture, whatever is queued): what the host
	// shows as the output's congestion.
	float congestion() const;
	// Video was dropped and later video waits for a keyframe.
	bool waiting_for_keyframe() const { return video_waits_for_keyframe_; }
	// Video frames the policy dropped since the last reset_counters.
	uint64_t dropped_frames() const { return dropped_frames_; }
	void reset_counters() { dropped_frames_ = 0; }

private:
	void drop_queued_video(bool disposable_only);

	static constexpr int64_t kNone = INT64_MIN;
	int64_t oldest_dts_usec() const;

	std::deque<QueuedPacket> packets_;
	int64_t in_flight_dts_usec_ = kNone;
	// After video was dropped: later video waits for a keyframe.
	bool video_waits_for_keyframe_ = false;
	uint64_t dropped_frames_ = 0;
};

} // namespace brasslight
