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
	// a keyframe. The queue is empty on a link that keeps up; 300 ms is well below the 700 ms
	// past which the drop policy starts, so that the lowered bitrate comes before the drops.
	static constexpr uint32_t kBehindQueueMs = 300;
	// The bytes a link took while it was behind (its writes waited for it) give its rate, over
	// up to this long and at least kMinRateSpanMs: long enough to even out the waits of single
	// writes, short enough to follow the link.
	static constexpr uint64_t kRateWindowMs = 2000;
	static constexpr uint64_t kMinRateSpanMs = 1000;
	// The lowered bitrate fills the queue more slowly at once, but what is queued still drains at
	// the link's pace: no second step down before it could show.
	static constexpr uint64_t kStepDownSpacingMs = 1500;
	// Each step up waits for this long without a link behind...
	static constexpr uint64_t kStepUpCalmMs = 4000;
	// ... and this long when it goes above what a link carried when it last fell behind: a link
	// that is still slow costs one probe per this interval.
	static constexpr uint64_t kProbeCalmMs = 15000;

private:
	struct Sample {
		uint64_t ms, bytes_sent;
		bool behind;
	};
	struct Link {
		std::vector<Sample> samples; // over the rate window
		uint64_t frames_dropped = 0;
	};

	uint32_t set;
	const uint32_t audio;
	uint32_t current;
	// Where a link last fell behind: the video bitrate that the rate it carried left room for, or
	// the bitrate it fell behind at (0: none since the last reset or a probe above it).
	uint32_t failed_at = 0;
	uint64_t last_behind_ms = 0;
	uint64_t last_change_ms = 0;
	std::map<std::string, Link> known;
};

} // namespace brasslight
