// The output type's arithmetic and text rules: publish target derivation, time-base conversion,
// the monotonic fix-up, the reconnect delay and which write failures count as a disconnect.

#include <cerrno>
#include <climits>
#include <string>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/error.h>
}

#include "mux/mux-helpers.hpp"

using namespace brasslight;

namespace {

TEST(MuxHelpers, PublishTargetFromServerAndKey)
{
	struct Row {
		const char *name;
		std::string server, key, url, tcurl;
	};
	const Row rows[] = {
		{"plain", "rtmp://h/live", "k", "rtmp://h/live/k", "rtmp://h/live"},
		{"one trailing slash", "rtmp://h/live/", "k", "rtmp://h/live/k", "rtmp://h/live"},
		{"many trailing slashes", "rtmp://h/live///", "k", "rtmp://h/live/k", "rtmp://h/live"},
		{"blanks around both", " \t\nrtmp://h/live/ \r\n", "\v k \f", "rtmp://h/live/k", "rtmp://h/live"},
		{"blank inside kept", "rtmp://h/my app", "a b", "rtmp://h/my app/a b", "rtmp://h/my app"},
		{"slash in key kept", "rtmp://h/live", "a/b/", "rtmp://h/live/a/b/", "rtmp://h/live"},
		{"slashes only", "///", "k", "/k", ""},
		{"server blanks only", " \t\r\n", "k", "", ""},
		{"key blanks only", "rtmp://h/live", " \n ", "", ""},
		{"both empty", "", "", "", ""},
		{"scheme not judged", "file:/tmp", "k", "file:/tmp/k", "file:/tmp"},
		// Bytes above 0x7f are not blanks in the default locale and must not be read as
		// negative chars.
		{"non-ASCII kept", "rtmp://h/\xc3\xa9 ", "\xc3\xa9", "rtmp://h/\xc3\xa9/\xc3\xa9", "rtmp://h/\xc3\xa9"},
	};
	for (const Row &row : rows) {
		const PublishTarget t = rebuild_target_url(row.server, row.key);
		EXPECT_TRUE(t.url == row.url && t.tcurl == row.tcurl)
			<< "row '" << row.name << "': url '" << t.url << "' tcurl '" << t.tcurl << "'";
	}
}

TEST(MuxHelpers, TimestampsRescaleToNearestWithHalvesAwayFromZero)
{
	struct Row {
		int64_t ts;
		int32_t num, den;
		int64_t ms;
	};
	const Row rows[] = {
		{2, 1, 30, 67},       // 66.67
		{1, 1, 30, 33},       // 33.33
		{24, 1, 48000, 1},    // 0.5 rounds away from zero
		{-24, 1, 48000, -1},  // and so does -0.5
		{1024, 1, 48000, 21}, // 21.33
		{0, 1, 48000, 0},
		{-2, 1, 30, -67},     // x264's first dts with B-frames
		{1, 1001, 30000, 33}, // 29.97 fps
		{90000, 1, 90000, 1000},
		{INT64_MIN, 1, 30, INT64_MIN},
		{INT64_MAX, 1, 30, INT64_MAX},
	};
	for (const Row &row : rows)
		EXPECT_EQ(rescale_timestamp(row.ts, row.num, row.den, 1, 1000), row.ms)
			<< "row " << row.ts << " at " << row.num << "/" << row.den;
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

TEST(MuxHelpers, ReconnectDelayGrowsBySecondsUpToFive)
{
	const uint64_t want_seconds[] = {0, 1, 2, 3, 4, 5, 5, 5};
	for (uint32_t attempts = 0; attempts < 8; ++attempts)
		EXPECT_EQ(reconnect_delay_ns(attempts), want_seconds[attempts] * 1000000000ULL) << "row " << attempts;
	EXPECT_EQ(reconnect_delay_ns(UINT32_MAX), 5 * 1000000000ULL);
}

TEST(MuxHelpers, WriteFailuresFromTheConnectionAreDisconnects)
{
	struct Row {
		const char *name;
		int code, io_error;
		bool disconnect;
	};
	const Row rows[] = {
		{"EIO", AVERROR(EIO), 0, true},
		{"server killed: ECONNRESET", AVERROR(ECONNRESET), 0, true},
		{"server closed: EPIPE", AVERROR(EPIPE), 0, true},
		{"half-closed: EOF", AVERROR_EOF, 0, true},
		{"ECONNABORTED", AVERROR(ECONNABORTED), 0, true},
		{"ENOTCONN", AVERROR(ENOTCONN), 0, true},
		{"rw_timeout: ETIMEDOUT", AVERROR(ETIMEDOUT), 0, true},
		{"our deadline: EXIT", AVERROR_EXIT, 0, true},
		{"any code with the I/O context's error", AVERROR(EINVAL), AVERROR(EHOSTUNREACH), true},
		{"muxer rejects a packet", AVERROR(EINVAL), 0, false},
		{"out of memory", AVERROR(ENOMEM), 0, false},
		{"bad data", AVERROR_INVALIDDATA, 0, false},
	};
	for (const Row &row : rows)
		EXPECT_EQ(is_disconnect_error(row.code, row.io_error), row.disconnect) << "row '" << row.name << "'";
}

} // namespace
