#pragma once

// The private record of one output of type "bl_vertical_mux_rtmp" and the operations that the
// output's callbacks (mux-output.cpp), the muxer (rtmp-muxer.cpp) and the packet path
// (packet-path.cpp) share. FFmpeg types are only forward-declared here.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <obs.h>

#include "mux/mux-helpers.hpp"

struct AVFormatContext;
struct AVStream;

namespace brasslight {

// How long the network calls made on the host's encoder threads may block. They run with the
// record's lock held, and libobs delivers this output's audio and video packets under one
// interleaving lock of its own, so whatever blocks here also stalls the host's single audio
// thread, which mixes the main stream's audio too. The deadlines are enforced by an
// AVIOInterruptCB (libavformat polls it at least every 100 ms) and, below it, by the AVIO
// option rw_timeout on each socket wait. The DNS lookup cannot be interrupted.
//
// Opening: TCP connect, the optional TLS handshake, the RTMP handshake, connect/createStream/
// publish and the FLV header take 6 to 8 round trips: well under a second to any ingest within
// 100 ms, and still inside 3 s at 350 ms. Longer would stall the host's audio for longer on
// every reconnect attempt to a server that accepts but never answers.
inline constexpr uint64_t kOpenBudgetNs = 3 * kSecondNs;
// One packet write: a write blocks only while the socket's send buffer (normally a second or
// more of the stream) stays full. Two more seconds without progress mean the path cannot carry
// the stream: reconnecting then beats holding the host's threads.
inline constexpr uint64_t kWriteBudgetNs = 2 * kSecondNs;
// Closing: the FLV trailer and the RTMP unpublish messages are a few small writes with no
// reply awaited; a dead or stalled connection must not hold a stop, a restart or a reconnect.
inline constexpr uint64_t kCloseBudgetNs = kSecondNs / 2;
// rw_timeout, microseconds: no single socket wait outlives the write budget, even where an
// interrupt check is missed.
inline constexpr int64_t kSocketTimeoutUs = 2000000;

// libavformat may open only streaming protocols for this output: a "file:" or "pipe:" server,
// typed by mistake or imported with a profile, must not write the stream anywhere local.
inline constexpr const char *kProtocolWhitelist = "rtmp,rtmps,tcp,tls";

struct BfreeDeleter {
	void operator()(uint8_t *data) const;
};

// A copy of one encoded packet, kept while the encoders' header data is not there yet.
struct HeldPacket {
	std::unique_ptr<uint8_t, BfreeDeleter> data; // bmemdup'ed payload
	size_t size = 0;
	int64_t pts = 0;
	int64_t dts = 0;
	int32_t timebase_num = 0;
	int32_t timebase_den = 0;
	bool keyframe = false; // video only
	bool present = false;
};

enum class OpenResult {
	Opened = 0,   // muxer open, header written
	NotReady = 1, // an encoder has no header data yet; nothing changed
	Fatal = 2,    // cannot open now; the output's last error says why
};

// Closes the I/O context (unless the format has none) and frees the context. No trailer: that
// is written, or skipped, by whoever finishes the muxer.
struct FormatContextDeleter {
	void operator()(AVFormatContext *context) const;
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;

struct MuxOutputData {
	explicit MuxOutputData(obs_output_t *host_output) : output(host_output) {}
	MuxOutputData(const MuxOutputData &) = delete;
	MuxOutputData &operator=(const MuxOutputData &) = delete;

	obs_output_t *const output; // not owned

	// Guards every field below. Held for the whole of update, start, destroy and the packet
	// callback (network I/O included), and twice briefly by stop; never taken twice by a thread.
	std::mutex mutex;

	std::string server;
	std::string key;
	std::string url;
	std::string tcurl;
	bool active = false;

	FormatContextPtr fmt_ctx;
	AVStream *video_stream = nullptr; // owned by fmt_ctx
	AVStream *audio_stream = nullptr; // owned by fmt_ctx
	uint32_t fps_num = 30;
	uint32_t fps_den = 1;
	int64_t last_video_dts = kNoTimestamp;
	int64_t last_audio_dts = kNoTimestamp;
	HeldPacket held_video;
	HeldPacket held_audio;

	bool reconnecting = false;
	uint64_t next_attempt_ns = 0; // os_gettime_ns clock
	uint32_t reconnect_attempts = 0;

	// When the network call in progress must give up (os_gettime_ns clock; 0: no call). Read by
	// libavformat's interrupt callback on the thread that makes the call.
	std::atomic<uint64_t> io_deadline_ns {0};
};

void release_held_packet(HeldPacket &held);

// The interrupt callback handed to libavformat for the record's connection.
int io_interrupt(void *record);
// Bounds the network call that follows by budget_ns from now, until disarm_io_deadline.
void arm_io_deadline(MuxOutputData &record, uint64_t budget_ns);
void disarm_io_deadline(MuxOutputData &record);

// With the record's lock held, on the host's encoder thread that delivered a packet: connects
// and writes the FLV header (rtmp-muxer.cpp).
OpenResult open_muxer(MuxOutputData &record);
// With the record's lock held, on the thread of start, stop or destroy, or on an encoder thread
// entering reconnect mode: trailer, then the connection and the context go.
void close_muxer(MuxOutputData &record);

// The host's encoded_packet callback, on the host's encoder threads (packet-path.cpp).
void mux_encoded_packet(void *data, encoder_packet *packet);

// With the record's lock held, on the host's encoder threads (packet-path.cpp).
void write_video_packet(MuxOutputData &record, const uint8_t *data, size_t size, int64_t pts, int64_t dts,
			int32_t timebase_num, int32_t timebase_den, bool keyframe);
void write_audio_packet(MuxOutputData &record, const uint8_t *data, size_t size, int64_t pts, int64_t dts,
			int32_t timebase_num, int32_t timebase_den);
void enter_reconnect_mode(MuxOutputData &record, const char *reason, int code);

// The registration record, filled once (mux-output.cpp).
const obs_output_info &mux_output_info();

} // namespace brasslight
