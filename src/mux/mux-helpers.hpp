#pragma once

// The output type's arithmetic and text rules, free of libobs and FFmpeg types so that they can
// be checked on their own.

#include <algorithm>
#include <cstdint>
#include <string>

namespace brasslight {

// libavutil's AV_NOPTS_VALUE: "no timestamp".
inline constexpr int64_t kNoTimestamp = INT64_MIN;
inline constexpr uint64_t kSecondNs = 1000000000ULL;
// The reconnect delay grows by one second per failed attempt up to this many seconds.
inline constexpr uint32_t kMaxReconnectDelaySeconds = 5;

struct PublishTarget {
	std::string url;   // tcurl + "/" + key: what libavformat connects to
	std::string tcurl; // the server without trailing slashes: the RTMP tcUrl and swfUrl
};

// Both empty when server or key is empty after trimming. Nothing else is normalised: the scheme
// is checked by libavformat's protocol whitelist when connecting.
PublishTarget rebuild_target_url(const std::string &server, const std::string &key);

// A timestamp from one time base to another, rounded to nearest with halves away from zero;
// kNoTimestamp stays kNoTimestamp.
int64_t rescale_timestamp(int64_t ts, int32_t from_num, int32_t from_den, int32_t to_num, int32_t to_den);

// Keeps one stream's dts strictly increasing and its pts not below its dts: libavformat rejects
// a packet that breaks either rule. last is the stream's last written dts (kNoTimestamp: none).
void enforce_monotonic_dts(int64_t &pts, int64_t &dts, int64_t &last);

// Wait before the next reconnect attempt after the given number of entries and failed attempts.
inline uint64_t reconnect_delay_ns(uint32_t attempts)
{
	return static_cast<uint64_t>(std::min(attempts, kMaxReconnectDelaySeconds)) * kSecondNs;
}

// FFmpeg's text for one of its error codes, for a log line.
std::string describe_error(int code);

// Whether a failed packet write means the connection is gone (reconnect) rather than a fault in
// the stream itself (stop). code is the write's result, io_error the error the muxer's I/O
// context holds (0 when none).
bool is_disconnect_error(int code, int io_error);

} // namespace brasslight
