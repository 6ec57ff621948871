#pragma once

// The private record of one output of type "bl_vertical_mux_rtmp" and the operations that the
// output's callbacks (mux-output.cpp), the muxer (rtmp-muxer.cpp) and the packet path
// (packet-path.cpp) share. FFmpeg types are only forward-declared here.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <obs.h>

#include "mux/connect-worker.hpp"
#include "mux/mux-helpers.hpp"

struct AVFormatContext;
struct AVStream;

namespace brasslight {

// How long the network calls of one output may block. The connect runs on the output's own
// connect worker, the packet writes and the trailer on the host's encoder threads with the
// record's lock held; libobs delivers this output's audio and video packets under one
// interleaving lock of its own, so whatever blocks a write also stalls the host's single audio
// thread, which mixes the main stream's audio too. The deadlines are enforced by an
// AVIOInterruptCB (libavformat polls it at least every 100 ms) and, below it, by the AVIO
// option rw_timeout on each socket wait. The DNS lookup cannot be interrupted.
//
// Opening: TCP connect, the optional TLS handshake, the RTMP handshake, connect/createStream/
// publish and the FLV header take 6 to 8 round trips: well under a second to any ingest within
// 100 ms, and still inside 3 s at 350 ms. Nothing waits for it but the stream itself: the budget
// only decides how soon a server that accepts but never answers counts as a failed attempt.
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

// What the packet callback found when it wanted a muxer.
enum class PrepareResult {
	Ready,    // everything the connect needs is in the request
	NotReady, // an encoder has no header data yet; nothing changed
	Fatal,    // cannot open now; the output's last error says why
};

// A copy of everything the connect needs, taken from the record and the host by the packet
// callback, so that the connect worker reads nothing shared.
struct MuxerRequest {
	std::string url;
	std::string tcurl;
	std::vector<uint8_t> video_header; // H.264 parameter sets
	std::vector<uint8_t> audio_header; // AAC AudioSpecificConfig
	uint32_t width = 0;
	uint32_t height = 0;
	uint32_t fps_num = 30;
	uint32_t fps_den = 1;
	int sample_rate = 48000;
};

// Closes the I/O context (unless the format has none) and frees the context. No trailer: that
// is written, or skipped, by whoever finishes the muxer.
struct FormatContextDeleter {
	void operator()(AVFormatContext *context) const;
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;

// What a connect gives back: an open muxer, or the last error to report.
struct OpenedMuxer {
	FormatContextPtr context;
	const char *error = nullptr;
};

// Where the connect of the current run stands.
enum class ConnectPhase {
	Idle,            // none under way, nothing left to handle
	Connecting,      // the worker is connecting: packets are dropped
	FirstOpenFailed, // the first open after start failed: the next packet stops the output
};

struct MuxOutputData {
	explicit MuxOutputData(obs_output_t *host_output) : output(host_output) {}
	MuxOutputData(const MuxOutputData &) = delete;
	MuxOutputData &operator=(const MuxOutputData &) = delete;

	obs_output_t *const output; // not owned

	// Guards every field below except the two that the connect worker uses without it
	// (`io_deadline_ns`, `connector`). Held for the whole of update and of the
	// packet callback (packet writes included), for start and destroy except while they wait
	// for the connect worker, briefly by stop, and by the connect worker only to publish its
	// result: never across a connect. Never taken twice by a thread.
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
	// Set when a connection is published: nothing is written to it before a video keyframe, so
	// that the server can decode the first picture it gets.
	bool awaiting_keyframe = false;

	ConnectPhase connect_phase = ConnectPhase::Idle;
	bool reconnecting = false;
	uint64_t next_attempt_ns = 0; // os_gettime_ns clock
	uint32_t reconnect_attempts = 0;

	// When the network call in progress must give up (os_gettime_ns clock; 0: no call). Read by
	// libavformat's interrupt callback on the thread that makes the call. Set by the connect
	// worker while it connects and by the lock holder around writes and closes: never both at
	// once, as a connect runs only while no muxer is open.
	std::atomic<uint64_t> io_deadline_ns {0};

	// Last: destroyed first, so that its thread has ended before anything it uses goes.
	ConnectWorker connector;
};

// The interrupt callback handed to libavformat for the record's connection: the deadline has
// passed, or the connector was asked to give up.
int io_interrupt(void *record);
// Bounds the network call that follows by budget_ns from now, until disarm_io_deadline.
void arm_io_deadline(MuxOutputData &record, uint64_t budget_ns);
void disarm_io_deadline(MuxOutputData &record);

// On the host's encoder thread that delivered a packet, with the record's lock held: checks that
// a muxer can be opened now and copies what the connect needs (rtmp-muxer.cpp).
PrepareResult prepare_muxer(MuxOutputData &record, MuxerRequest &request);
// On the connect worker's thread, without the record's lock: builds the FLV muxer, connects and
// writes the header, bounded by kOpenBudgetNs and by a cancel of the connector. Logs a failure,
// and touches nothing of the record but its interrupt deadline.
OpenedMuxer open_muxer(MuxOutputData &record, const MuxerRequest &request);
// With the record's lock held, on the connect worker: the opened muxer becomes the record's, and
// writing will start at the next video keyframe.
void adopt_muxer(MuxOutputData &record, FormatContextPtr context);
// With the record's lock held, on the thread of start, stop or destroy, or on an encoder thread
// entering reconnect mode: trailer, then the connection and the context go.
void close_muxer(MuxOutputData &record);
// Frees a muxer that was never published (the output stopped while it connected), bounded like a
// close; on the connect worker's thread, without the lock.
void discard_muxer(MuxOutputData &record, FormatContextPtr context);

// The host's encoded_packet callback, on the host's encoder threads (packet-path.cpp).
void mux_encoded_packet(void *data, encoder_packet *packet);

// Ends a connect under way and keeps new ones from starting: clears `active` and the reconnect
// state, then cancels and joins the connect worker. On the thread of start, stop or destroy,
// without the lock (packet-path.cpp). Returns whether the output was active.
bool halt_connecting(MuxOutputData &record);

// The registration record, filled once (mux-output.cpp).
const obs_output_info &mux_output_info();

} // namespace brasslight
