#pragma once

#include <algorithm>
#include <cstdint>

struct obs_output;

namespace brasslight {

inline constexpr const char *kMuxOutputId = "bl_vertical_mux_rtmp";
inline constexpr const char *kMuxOutputName = "Vertical RTMP Mux (stereo)";

// Registers the output type with the host. Unconditional and never undone.
void register_mux_output_type();

// What a user is told about the stream.
enum class MuxState {
	Stopped,      // not started, stopped, or ended by an error
	Connecting,   // started; no packet has gone out on a connection yet
	Streaming,    // connected, and packets go out to the server
	Reconnecting, // the connection was lost; attempts go on until packets go out again, or a stop
};

// The stream's state and health in one snapshot, for the dock and for remote control.
struct MuxStatus {
	MuxState state = MuxState::Stopped;
	uint64_t bytes_sent = 0;     // since the start
	uint64_t frames_total = 0;   // video frames received from the run's first keyframe sent on
	uint64_t frames_dropped = 0; // of those, dropped for a slow link or lost with a connection
	float congestion = 0.0f;     // 0 to 1, from the send queue's length; 1 while video_paused
	uint32_t queue_ms = 0;       // media time waiting in the send queue, the write in progress included
	uint64_t write_ms = 0;       // time spent writing to the connection since the start
	// The link was too slow: the queued video was dropped and the server gets sound only until the
	// next keyframe.
	bool video_paused = false;

	double dropped_share() const
	{
		return frames_total ? static_cast<double>(frames_dropped) / static_cast<double>(frames_total) : 0.0;
	}
};

// The socket's send buffer: an eighth of a second of the video bitrate, and at least 64 KiB (the
// kernel doubles it for its bookkeeping). Left to itself, Linux grows it to several hundred kB on a
// fast start: on a link that then slows to a quarter of the stream, seconds of stream wait there,
// where the viewer's delay grows unseen and the send queue, the drop policy and the adaptive
// bitrate do not see the link fall behind. With the kernel's doubling it still keeps a link of up
// to about 150 ms round trip busy at 4 Mbit/s, and more at lower bitrates.
inline constexpr int kMinSendBufferBytes = 64 * 1024;
inline int send_buffer_bytes(uint32_t video_kbps)
{
	return std::max(kMinSendBufferBytes, static_cast<int>(std::min<uint32_t>(video_kbps, 1000000) * 1000 / 8 / 8));
}

// The status of an output of this type; Stopped for a null output or one of another type. Any
// thread; takes no lock the packet path waits for.
MuxStatus mux_output_status(obs_output *output);

} // namespace brasslight
