#include "output/adaptive-bitrate.hpp"

#include <algorithm>

#include "mux/mux-output.hpp"

namespace brasslight {

namespace {

constexpr uint32_t kFloorMinKbps = 300;
// Of the rate a link carried while it was behind, what the stream may take: room for keyframes,
// for the link's own swings, and for the queue to drain.
constexpr double kLinkShare = 0.85;
// Each step down takes at least this much off: the rate measured may still count writes made
// before the link fell behind, when the kernel's buffer took them at once.
constexpr double kStepDownFactor = 0.85;
constexpr uint32_t kMinStepUpKbps = 50;

} // namespace

AdaptiveBitrate::AdaptiveBitrate(uint32_t set_kbps, uint32_t audio_kbps)
	: set(set_kbps), audio(audio_kbps), current(set_kbps)
{
}

uint32_t AdaptiveBitrate::floor_kbps() const
{
	return std::min(set, std::max(kFloorMinKbps, set / 8));
}

void AdaptiveBitrate::reset(uint32_t set_kbps)
{
	set = current = set_kbps;
	failed_at = 0;
	probe_calm_ms = kProbeCalmMs;
	last_behind_ms = last_full_ms = last_change_ms = last_down_ms = 0;
	known.clear();
}

std::optional<AdaptiveBitrate::Change> AdaptiveBitrate::tick(uint64_t now, const std::vector<LinkReading> &links)
{
	// Of the links behind, the one that carried the least (a rate of 0: not known yet).
	const LinkReading *slowest = nullptr;
	double slowest_kbps = 0.0;
	bool any_streaming = false;
	std::map<std::string, Link> still;
	for (const LinkReading &reading : links) {
		// One that is not streaming is forgotten: its next connection starts afresh.
		if (!reading.streaming)
			continue;
		any_streaming = true;
		const auto found = known.find(reading.name);
		// Frames dropped before the link was first seen (its connect) are not counted.
		Link link = found != known.end() ? found->second : Link {{}, reading.frames_dropped};
		link.samples.push_back({now, reading.bytes_sent, reading.write_ms});
		while (link.samples.front().ms + kRateWindowMs < now)
			link.samples.erase(link.samples.begin());
		const bool dropped = reading.frames_dropped > link.frames_dropped;
		link.frames_dropped = reading.frames_dropped;
		const Sample &since = link.samples.front();
		const uint64_t span = now - since.ms;
		const bool busy = span >= kMinRateSpanMs && (reading.write_ms - since.write_ms) * 10 >= span * 7;
		if (reading.queue_ms > kBehindQueueMs || reading.video_paused || dropped) {
			const double kbps = busy ? static_cast<double>(reading.bytes_sent - since.bytes_sent) * 8.0 /
							    static_cast<double>(span)
						 : 0.0;
			if (!slowest || (kbps > 0.0 && (slowest_kbps == 0.0 || kbps < slowest_kbps))) {
				slowest = &reading;
				slowest_kbps = kbps;
			}
		} else if (busy) {
			// Keeping up, but only just: its writes wait for it most of the time. A step up would
			// fill its queue, and cost frames before a step down took hold.
			last_full_ms = now;
		}
		still.emplace(reading.name, std::move(link));
	}
	known = std::move(still);

	if (slowest) {
		last_behind_ms = now;
		if (current <= floor_kbps() || now - last_down_ms < kStepDownSpacingMs)
			return std::nullopt;
		double target = current * kStepDownFactor;
		if (slowest_kbps > 0.0)
			target = std::min(target, slowest_kbps * kLinkShare - audio);
		const uint32_t to = std::max(floor_kbps(), static_cast<uint32_t>(std::max(0.0, target)));
		if (to >= current)
			return std::nullopt;
		const std::string why = slowest_kbps > 0.0
						? "'" + slowest->name + "' carries about " +
							  std::to_string(static_cast<uint32_t>(slowest_kbps)) +
							  " kbps with the sound"
						: "'" + slowest->name + "' falls behind";
		Change change {current, to, why};
		// A step up that failed: a link that stays as slow is probed half as often each time, up
		// to kProbeCalmMaxMs apart.
		if (last_change_ms > last_down_ms && failed_at)
			probe_calm_ms = std::min(2 * probe_calm_ms, kProbeCalmMaxMs);
		// What the link carried is where a step up becomes a probe: it may take more, but it has
		// not shown it.
		failed_at = slowest_kbps > 0.0
				    ? static_cast<uint32_t>(std::clamp(slowest_kbps - audio, 0.0, 1.0 * current))
				    : current;
		current = to;
		last_change_ms = last_down_ms = now;
		return change;
	}
	if (!any_streaming || current >= set)
		return std::nullopt;
	const uint64_t calm = now - std::max(last_behind_ms, last_full_ms);
	uint32_t next = current + std::max(set / 8, kMinStepUpKbps);
	uint64_t wait = kStepUpCalmMs;
	if (failed_at) {
		// After a link fell behind, a probe first: far enough above what it carried that, still
		// as slow, it fills the socket's send buffer within kProbeShowsMs and its queue grows;
		// slightly above, it would hide that for longer than any wait. Then, near what failed,
		// steps of a fifth: the encoder takes a second or two to settle on a lower bitrate, and
		// a step that overshoots by more would cost frames before the lower one takes hold.
		const uint32_t probe_kbps =
			failed_at + static_cast<uint32_t>(2ULL * send_buffer_bytes(set) * 8 / kProbeShowsMs);
		if (current < probe_kbps) {
			next = probe_kbps;
			wait = probe_calm_ms;
		} else {
			next = current + current / 5;
			wait = kProbeHoldMs;
		}
	}
	next = std::min(set, next);
	if (calm < wait || now - last_change_ms < wait)
		return std::nullopt;
	// Well above what failed: the link is not the one that fell behind.
	if (next >= failed_at + failed_at * 3 / 5) {
		failed_at = 0;
		probe_calm_ms = kProbeCalmMs;
	}
	Change change {current, next, "every link kept up for " + std::to_string(calm / 1000) + " s"};
	current = next;
	last_change_ms = now;
	return change;
}

} // namespace brasslight
