// The adaptive bitrate's choice among several destinations, which the streaming test (one
// destination, vertical-stream-test) does not reach: the slowest that streams leads, and one that
// reconnects counts for nothing.

#include <gtest/gtest.h>

#include "output/adaptive-bitrate.hpp"

using namespace brasslight;

TEST(AdaptiveBitrate, FollowsTheSlowestStreamingDestinationAndNotOneThatReconnects)
{
	AdaptiveBitrate adaptive(4000, 160);
	// Ticks from 10 s on a steady clock. Two links behind for 2 s, taking 2000 and 1000 kbit/s; a
	// third reconnects, its old queue and paused video still reported.
	std::vector<LinkReading> links = {{"A", true}, {"B", true}, {"C", false, 0, 5000, 0, 90, true}};
	std::vector<uint32_t> seen;
	for (uint64_t ms = 10000; ms <= 35000; ms += 500) {
		// Writing all the time while behind, and then a tenth of it.
		const bool behind = ms > 10000 && ms <= 12000;
		links[0].bytes_sent = ms * 250;
		links[1].bytes_sent = ms * 125;
		links[0].queue_ms = links[1].queue_ms = behind ? 600 : 0;
		for (LinkReading &link : links)
			link.write_ms += behind ? 500 : 50;
		if (const auto change = adaptive.tick(ms, links))
			seen.push_back(change->to_kbps);
	}
	// A step at once, then to 85 % of B's rate less the sound: 690. Up again once both keep up for
	// 12 s: a probe to what B carried less the sound (840) and what overfills the socket's send
	// buffer (2 x 64 KiB) in 5 s (210).
	ASSERT_GE(seen.size(), 3u);
	EXPECT_EQ(std::vector<uint32_t>(seen.begin(), seen.begin() + 3), (std::vector<uint32_t> {3400, 690, 1049}));
}

// A link that keeps up only just, its writes waiting for it most of the time, is not probed: a
// step up would fill its queue. Once its writes are quick again, the calm counts from then.
TEST(AdaptiveBitrate, HoldsWhileALinkKeepsUpOnlyJust)
{
	AdaptiveBitrate adaptive(4000, 160);
	std::vector<LinkReading> link = {{"A", true}};
	std::vector<std::pair<uint64_t, uint32_t>> seen;
	for (uint64_t ms = 10000; ms <= 60000; ms += 500) {
		link[0].bytes_sent = ms * 125;
		link[0].queue_ms = ms > 10000 && ms <= 12000 ? 600 : 0;
		// Busy 80 % of the time until 40 s, then a tenth of it.
		link[0].write_ms += ms <= 40000 ? 400 : 50;
		if (const auto change = adaptive.tick(ms, link))
			seen.push_back({ms, change->to_kbps});
	}
	// Down at once and to what the link carried; up again only 12 s after the writes got quick
	// (the window of 2 s to see it).
	ASSERT_GE(seen.size(), 3u);
	EXPECT_EQ(seen[1].second, 690u);
	EXPECT_GE(seen[2].first, 40000u + 12000u);
	EXPECT_GT(seen[2].second, 690u);
}
