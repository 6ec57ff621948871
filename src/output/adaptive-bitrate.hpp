#pragma once

// The video bitrate of the vertical encode against the links of its destinations: lowered in steps
// while the slowest one cannot carry the stream, raised again towards the set bitrate once it
// has kept up for a while. The drop policy of each output stays the last resort, for what a
// lowered bitrate does not absorb (a stall, a link below the floor). Plain arithmetic on what the
// outputs report; the output controller reads them and applies the bitrate.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brasslight {

// One destination at a tick, from its output's status.
struct LinkReading {
	std::string name;
	// Connected and sending. One that connects or reconnects says nothing about the link it will
	// get, and does not count.
	bool streaming = false;
	uint64_t bytes_sent = 0; // since its start
	uint32_t queue_ms = 0;
	uint64_t write_ms = 0; // time its writes took since its start
	uint64_t frames_dropped = 0;
	bool video_paused = false;
};

class AdaptiveBitrate {
public:
	// Both in kbit/s: the bitrate the user set, and the audio that goes with the video.
	AdaptiveBitrate(uint32_t set_kbps, uint32_t audio_kbps);

	struct Change {
		uint32_t from_kbps, to_kbps;
		std::string why;
	};
	// A look at the destinations, about twice a second; now_ms on a steady clock. A change when
	// the video encoder should run at another bitrate from now on.
	std::optional<Change> tick(uint64_t now_ms, const std::vector<LinkReading> &links);
	// The set bitrate again, and nothing remembered about the links (a new set bitrate, the
	// option off, or nothing streaming).
	void reset(uint32_t set_kbps);

	uint32_t current_kbps() const { return current; }
	uint32_t set_kbps() const { return set; }
	// The lowest it goes: an eighth of the set bitrate, never under 300 kbit/s (nor over the set
	// bitrate). Not a quarter: with the sound on top, a stream at a quarter of its video bitrate
	// does not fit a link of a quarter of its rate, and the drop policy would be back.
	uint32_t floor_kbps() const;

	// A link is behind when this much waits in its queue, or when it dropped frames or waits for
	// a keyframe. The queue is empty on a link that keeps up, but for a keyframe's burst. Well
	// below the 700 ms past which the drop policy starts: x264 takes a second or so to settle on a
	// lower bitrate (its buffer model still holds what the higher one allowed), and the queue
	// goes on growing meanwhile.
	static constexpr uint32_t kBehindQueueMs = 150;
	// What a link behind took over the last kRateWindowMs (at least kMinRateSpanMs) is its rate
	// when its writes waited for it 70 % of that time or more: a write into a full socket lasts
	// until the link has drained as much. Writes that the kernel's buffer took at once (before it
	// filled, or once the drop policy emptied the queue) would count the sender's pace instead.
	static constexpr uint64_t kRateWindowMs = 2000;
	static constexpr uint64_t kMinRateSpanMs = 1000;
	// The lowered bitrate fills the queue more slowly at once, but what is queued still drains at
	// the link's pace: no second step down before it could show.
	static constexpr uint64_t kStepDownSpacingMs = 1500;
	// Each step up waits for this long without a link behind, or one that only just keeps up...
	static constexpr uint64_t kStepUpCalmMs = 4000;
	// ... this long before a probe above what a link carried when it last fell behind (a link
	// that stays slow costs one failed probe per about this long), and the probe, and each step
	// of a fifth after it up to 1.6 times what failed, this long before the next: still as slow,
	// a link shows so within kProbeShowsMs and the time the queue takes to grow to kBehindQueueMs.
	// A probe that fails costs about a second of frames to the drop policy: at 8 s and 7 s a link
	// at a quarter of the stream lost 6 to 8 % of its frames; these keep that lower and still
	// bring a restored link back to the set bitrate within a minute (docs/benchmarks.md).
	static constexpr uint64_t kProbeCalmMs = 12000;
	// After each probe that failed, the wait before the next doubles, up to this: still within a
	// minute of a restored link back at the set bitrate.
	static constexpr uint64_t kProbeCalmMaxMs = 24000;
	static constexpr uint64_t kProbeHoldMs = 9000;
	static constexpr uint64_t kProbeShowsMs = 5000;

private:
	struct Sample {
		uint64_t ms, bytes_sent, write_ms;
	};
	struct Link {
		std::vector<Sample> samples; // over the rate window
		uint64_t frames_dropped = 0;
	};

	uint32_t set;
	const uint32_t audio;
	uint32_t current;
	// Where a link last fell behind: the video bitrate that the rate it carried left room for, or
	// the bitrate it fell behind at (0: none since the last reset, or the steps went 1.6 times
	// as high).
	uint32_t failed_at = 0;
	// The wait before the next probe (kProbeCalmMs, doubled after each probe that failed).
	uint64_t probe_calm_ms = kProbeCalmMs;
	uint64_t last_behind_ms = 0;
	// When a link last kept up only just, its writes waiting for it 70 % of the rate window or
	// more (a full send buffer): the calm that a step up waits for starts after it.
	uint64_t last_full_ms = 0;
	uint64_t last_change_ms = 0;
	uint64_t last_down_ms = 0;
	std::map<std::string, Link> known;
};

} // namespace brasslight
