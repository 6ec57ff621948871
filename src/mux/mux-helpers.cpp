#include "mux/mux-helpers.hpp"

#include <cerrno>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

#include "common/strings.hpp"

namespace brasslight {

PublishTarget rebuild_target_url(const std::string &server, const std::string &key)
{
	PublishTarget target;
	const std::string s = trimmed(server);
	const std::string k = trimmed(key);
	if (s.empty() || k.empty())
		return target;
	target.tcurl = s;
	while (!target.tcurl.empty() && target.tcurl.back() == '/')
		target.tcurl.pop_back();
	target.url = target.tcurl + "/" + k;
	return target;
}

int64_t rescale_timestamp(int64_t ts, int32_t from_num, int32_t from_den, int32_t to_num, int32_t to_den)
{
	if (ts == kNoTimestamp)
		return kNoTimestamp;
	const auto rounding = static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);
	return av_rescale_q_rnd(ts, AVRational {from_num, from_den}, AVRational {to_num, to_den}, rounding);
}

void enforce_monotonic_dts(int64_t &pts, int64_t &dts, int64_t &last)
{
	if (dts == kNoTimestamp)
		return;
	if (last != kNoTimestamp && dts <= last)
		dts = last + 1;
	if (pts != kNoTimestamp && pts < dts)
		pts = dts;
	last = dts;
}

std::string describe_error(int code)
{
	char text[256] = {};
	av_strerror(code, text, sizeof(text));
	return text;
}

bool is_disconnect_error(int code, int io_error)
{
	// An error stored in the I/O context came from the socket: the muxer itself never sets one.
	if (io_error < 0)
		return true;
	switch (code) {
	case AVERROR(EIO):
	case AVERROR(EPIPE):
	case AVERROR(ECONNRESET):
	case AVERROR(ECONNABORTED):
	case AVERROR(ENOTCONN):
	case AVERROR(ETIMEDOUT):
	case AVERROR_EOF:
	case AVERROR_EXIT: // our own write deadline
		return true;
	default:
		return false;
	}
}

} // namespace brasslight
