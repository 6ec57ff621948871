// The output type's rules that the streaming tests seldom reach: publish targets a user seldom
// types, the dts fix-up for packets out of order, the send queue's drop policy, the reconnect
// delay's cap and which write failures count as a disconnect.

#include <cerrno>
#include <climits>
#include <map>
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

// The send queue on a link that takes nothing. Packets by kind: audio (a), an IDR frame (K), a
// reference frame (P) and a disposable one (B: nal_ref_idc 0, as x264 marks its B-frames).
std::string push(PacketQueue &queue, char kind, int64_t ms)
{
	encoder_packet p =
		bltest::host_packet(kind == 'a' ? OBS_ENCODER_AUDIO : OBS_ENCODER_VIDEO, ms, 1000, kind == 'K');
	if (kind == 'B')
		p.data[4] = 0x01;
	const char *pushed[] = {"queued", "dropped", "overflow"};
	const std::string result = pushed[static_cast<int>(queue.push(&p))];
	obs_encoder_packet_release(&p);
	return result;
}

// What is left in the queue, counted by kind.
std::string remaining(PacketQueue &queue)
{
	std::map<char, int> n;
	for (QueuedPacket p; queue.pop(p); queue.sent())
		n[!p.video() ? 'a' : p.get().data[4] == 0x65 ? 'K' : p.get().data[4] == 0x41 ? 'P' : 'B']++;
	return "a" + std::to_string(n['a']) + " K" + std::to_string(n['K']) + " P" + std::to_string(n['P']) + " B" +
	       std::to_string(n['B']);
}

TEST(MuxHelpers, OnAStalledLinkBFramesGoPastSevenTenthsOfASecondAllVideoPastNineAndTheQueueFillsAtTen)
{
	// Each row: audio and a keyframe at 0, then B and P frames in turn every 30 ms up to 570 ms
	// with audio at 300 ms; then the row's frame.
	struct Row {
		int64_t ms;
		char kind;
		const char *pushed, *left;
		uint64_t dropped;
	};
	const Row rows[] = {
		{600, 'P', "queued", "a2 K1 P10 B10", 0},
		// Past 0.7 s the B frames go (no frame refers to them); the rest stays.
		{750, 'P', "queued", "a2 K1 P10 B0", 10},
		// Past 0.9 s all video goes, the new frame too unless it is a keyframe.
		{950, 'P', "dropped", "a2 K0 P0 B0", 21},
		{950, 'K', "queued", "a2 K1 P0 B0", 20},
	};
	for (const Row &row : rows) {
		PacketQueue queue;
		push(queue, 'a', 0);
		push(queue, 'K', 0);
		for (int64_t ms = 30; ms < 600; ms += 30) {
			if (ms == 300)
				push(queue, 'a', ms);
			push(queue, ms % 60 ? 'B' : 'P', ms);
		}
		const std::string pushed = push(queue, row.kind, row.ms);
		const uint64_t dropped = queue.dropped_frames();
		const std::string left = remaining(queue);
		EXPECT_TRUE(pushed == row.pushed && left == row.left && dropped == row.dropped)
			<< "row " << row.kind << row.ms << ": " << pushed << ", left " << left << ", dropped "
			<< dropped;
	}
	// After all video went, video waits for a keyframe. Audio is never dropped: it fills the queue
	// at 10 s, and then no packet of either kind gets in.
	PacketQueue queue;
	std::string seen;
	for (const auto &[kind, ms] : {std::pair {'a', 0},
				       {'K', 0},
				       {'P', 950},
				       {'P', 980},
				       {'K', 1000},
				       {'a', 10000},
				       {'a', 10030},
				       {'P', 10060}})
		seen += push(queue, kind, ms) + " ";
	EXPECT_EQ(seen, "queued queued dropped dropped queued queued overflow overflow ");
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
