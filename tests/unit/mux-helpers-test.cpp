// The output type's rules that the streaming tests seldom reach: publish targets a user seldom
// types, the dts fix-up for packets out of order, the send queue's thresholds, the reconnect
// delay's cap and which write failures count as a disconnect.

#include <cerrno>
#include <climits>
#include <string>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/error.h>
}

#include "mux-rig.hpp"
#include "mux/mux-helpers.hpp"
#include "mux/packet-queue.hpp"

using namespace brasslight;

namespace {

TEST(MuxHelpers, PublishTargetFromServerAndKey)
{
	struct Row {
		std::string server, key, url, tcurl;
	};
	const Row rows[] = {
		{" \t\nrtmp://h/live/ \r\n", "\v k \f", "rtmp://h/live/k", "rtmp://h/live"},
		{"rtmp://h/live///", "k", "rtmp://h/live/k", "rtmp://h/live"},
		{"rtmp://h/my app", "a b", "rtmp://h/my app/a b", "rtmp://h/my app"},
		{"rtmp://h/live", "a/b/", "rtmp://h/live/a/b/", "rtmp://h/live"},
	};
	for (const Row &row : rows) {
		const PublishTarget t = rebuild_target_url(row.server, row.key);
		EXPECT_TRUE(t.url == row.url && t.tcurl == row.tcurl)
			<< "row '" << row.server << "': url '" << t.url << "' tcurl '" << t.tcurl << "'";
	}
}

TEST(MuxHelpers, MonotonicFixUpRaisesDtsAndPts)
{
	constexpr int64_t N = INT64_MIN;
	struct Row {
		const char *name;
		int64_t pts, dts, last;
		int64_t want_pts, want_dts, want_last;
	};
	const Row rows[] = {
		{"increasing untouched", 50, 40, 30, 50, 40, 40},
		{"first packet of a stream", 10, 5, N, 10, 5, 5},
		{"equal dts raised", 40, 30, 30, 40, 31, 31},
		{"lower dts raised", 40, 20, 30, 40, 31, 31},
		{"pts below raised dts follows", 25, 20, 30, 31, 31, 31},
		{"pts below dts on first packet", 3, 5, N, 5, 5, 5},
		{"no pts stays none", N, 20, 30, N, 31, 31},
		{"no dts changes nothing", 7, N, 30, 7, N, 30},
		{"negative dts allowed", -33, -67, N, -33, -67, -67},
	};
	for (const Row &row : rows) {
		int64_t pts = row.pts, dts = row.dts, last = row.last;
		enforce_monotonic_dts(pts, dts, last);
		EXPECT_TRUE(pts == row.want_pts && dts == row.want_dts && last == row.want_last)
			<< "row '" << row.name << "': pts " << pts << " dts " << dts << " last " << last;
	}
}

// The send queue on a link that takes nothing: video (reference frames) every 30 ms after an
// audio frame at 0.
TEST(MuxHelpers, OnAStalledLinkVideoGoesPastNineTenthsOfASecondAndAudioFillsTheQueueAtTen)
{
	PacketQueue queue;
	const auto push = [&queue](obs_encoder_type type, int64_t ms, bool keyframe = false) {
		encoder_packet p = bltest::host_packet(type, ms, 1000, keyframe);
		const char *pushed[] = {"queued", "dropped", "overflow"};
		const std::string result = pushed[static_cast<int>(queue.push(&p))];
		obs_encoder_packet_release(&p);
		return result;
	};
	EXPECT_EQ(push(OBS_ENCODER_AUDIO, 0), "queued");
	for (int64_t ms = 0; ms <= 900; ms += 30)
		EXPECT_EQ(push(OBS_ENCODER_VIDEO, ms, ms == 0), "queued") << ms << " ms";
	EXPECT_EQ(queue.dropped_frames(), 0u);
	// 0.93 s behind: the 31 queued frames go with this one, and so does video until a keyframe.
	EXPECT_EQ(push(OBS_ENCODER_VIDEO, 930), "dropped");
	EXPECT_EQ(push(OBS_ENCODER_VIDEO, 960), "dropped");
	EXPECT_EQ(queue.dropped_frames(), 33u);
	EXPECT_EQ(push(OBS_ENCODER_AUDIO, 10000), "queued");
	EXPECT_EQ(push(OBS_ENCODER_AUDIO, 10030), "overflow");
}

TEST(MuxHelpers, ReconnectDelayGrowsBySecondsUpToFive)
{
	const uint64_t want_seconds[] = {0, 1, 2, 3, 4, 5, 5, 5};
	for (uint32_t attempts = 0; attempts < 8; ++attempts)
		EXPECT_EQ(reconnect_delay_ns(attempts), want_seconds[attempts] * 1000000000ULL) << "row " << attempts;
	EXPECT_EQ(reconnect_delay_ns(UINT32_MAX), 5 * 1000000000ULL);
}

TEST(MuxHelpers, WriteFailuresFromTheConnectionAreDisconnects)
{
	for (const int code : {AVERROR(EIO), AVERROR(ECONNRESET), AVERROR(EPIPE), AVERROR_EOF, AVERROR(ECONNABORTED),
			       AVERROR(ENOTCONN), AVERROR(ETIMEDOUT), AVERROR_EXIT})
		EXPECT_TRUE(is_disconnect_error(code, 0)) << "code " << code;
	// Faults of the stream itself, unless the I/O context holds an error: that came from the socket.
	for (const int code : {AVERROR(EINVAL), AVERROR(ENOMEM), AVERROR_INVALIDDATA}) {
		EXPECT_FALSE(is_disconnect_error(code, 0)) << "code " << code;
		EXPECT_TRUE(is_disconnect_error(code, AVERROR(EHOSTUNREACH))) << "code " << code;
	}
}

} // namespace
