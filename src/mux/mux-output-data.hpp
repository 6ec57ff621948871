#pragma once

// The private record of one output of type "bl_vertical_mux_rtmp" and the operations that the
// output's callbacks (mux-output.cpp), the muxer (rtmp-muxer.cpp), the packet callback
// (packet-callback.cpp), the sender thread (sender.cpp) and the packet writer (packet-writer.cpp)
// share. FFmpeg types are only forward-declared here.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <obs.h>

#include "mux/mux-helpers.hpp"
#include "mux/packet-queue.hpp"

struct AVFormatContext;
struct AVStream;

namespace brasslight {

// How long the network calls of one output may block. They all run on the output's own sender
// thread, never on a host thread: libobs delivers this output's audio and video packets under
// one interleaving lock of its own, from the host's single audio thread (which mixes the main
// stream's audio too) and the video thread, so a packet callback that waited for the network
// would stall the main stream. The deadlines are enforced by an AVIOInterruptCB (libavformat
// polls it at least every 100 ms) and, below it, by the AVIO option rw_timeout on each socket
// wait. The DNS lookup cannot be interrupted.
//
// Opening: TCP connect, the optional TLS handshake, the RTMP handshake, connect/createStream/
// publish and the FLV header take 6 to 8 round trips: well under a second to any ingest within
// 100 ms, and still inside 3 s at 350 ms. Nothing waits for it but the stream itself: the budget
// only decides how soon a server that accepts but never answers counts as a failed attempt.
inline constexpr uint64_t kOpenBudgetNs = 3 * kSecondNs;
// A packet write has no budget of its own: on a slow link one write of a keyframe may take
// seconds of the link's rate. A dead link is found by rw_timeout
// (below), and a link too slow for the stream, or stalled, by the send queue reaching its cap,
// which interrupts the write in progress.
// Closing: the FLV trailer and the RTMP unpublish messages are a few small writes with no
// reply awaited; a dead or stalled connection must not hold a restart or a reconnect.
inline constexpr uint64_t kCloseBudgetNs = kSecondNs / 2;
// A stop, a restart or the release of the output: the write in progress and the close together
// get this long, whatever the link does; what is still queued is dropped. A stop of the main
// stream, a profile switch and the host's exit all wait for it, so it stays under a second. A
// connect ends at once, except in the host-name lookup: see SenderRun.
inline constexpr uint64_t kHaltBudgetNs = kSecondNs * 3 / 4;
// rw_timeout, microseconds: how long one socket wait (a connect, a read, or a write waiting for
// room in the send buffer) may last. A socket reports room only once a good part of its buffer,
// which the kernel grows to hundreds of kB, has drained: on a link of a few hundred kbit/s that
// takes seconds, so this is long. A link that stalls is found sooner by the send queue's cap.
inline constexpr int64_t kSocketTimeoutUs = 10000000;

// libavformat may open only streaming protocols for this output: a "file:" or "pipe:" server,
// typed by mistake or imported with a profile, must not write the stream anywhere local.
inline constexpr const char *kProtocolWhitelist = "rtmp,rtmps,tcp,tls";

// What the sender found when it wanted a muxer.
enum class PrepareResult {
	Ready,    // everything the connect needs is in the request
	NotReady, // an encoder has no header data yet; nothing changed
	Fatal,    // cannot open now; the output's last error says why
};

// A copy of everything the connect needs, taken from the record and the host under the lock, so
// that the connect itself reads nothing shared.
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
	uint32_t video_kbps = 0; // the video encoder's bitrate as the connect begins
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

// Where the current run stands; the state the dock shows follows from it.
enum class RunPhase {
	Idle,         // not started, or stopped
	Opening,      // started; the first connection is not up yet
	Streaming,    // a connection is up: packets are queued and sent
	Reconnecting, // the connection was lost: packets are dropped, attempts are made on keyframes
	Failed,       // the run ended on an error and raised its stop: packets are dropped
};

// Hold times of the packet callback, kept only when the environment variable BL_MEASURE_HOLD is
// set (for the benchmarks in the real host app) and logged when the output stops.
struct HoldStats {
	std::mutex mutex;
	std::vector<uint32_t> ns[3]; // streaming, congested, reconnecting
	uint64_t callback_cpu_ns = 0;
	uint64_t callbacks = 0;
};

struct MuxOutputData;

// One run of the output's sender thread: what ends it and what bounds its network calls. The
// thread holds it, and the record while the run is current (MuxOutputData::run).
//
// Why a run has its own: the host-name lookup at the start of a connect (getaddrinfo) cannot be
// interrupted, and a slow resolver holds it for its time-out, 10 to 30 s. A stop, a profile
// switch and the host's exit must not wait that long, so a halt that still finds its sender in a
// connect after kHaltBudgetNs leaves the thread behind (detaches it). The thread keeps alive what
// it still uses: this object and a reference of its own to the record. When the lookup ends it
// finds its run halted, throws the connection away and ends, touching neither the record's run
// state nor its muxer nor the host's output, which may be gone by then; a later run has a
// SenderRun of its own, so the late result cannot reach it. Only a connect is ever left behind:
// everything else the sender does ends within the halt's budget, and the halt waits for it.
struct SenderRun {
	explicit SenderRun(MuxOutputData &owner) : record(owner) {}
	SenderRun(const SenderRun &) = delete;
	SenderRun &operator=(const SenderRun &) = delete;

	bool halted() const { return halt_deadline_ns.load() != 0; }

	MuxOutputData &record; // the thread holds a reference to it as long as it holds this run
	// Set once, by the halt that ends the run (os_gettime_ns clock): a connect gives up at once,
	// a write or close by this time.
	std::atomic<uint64_t> halt_deadline_ns {0};
	// When the network call in progress must give up (0: no call). Set by the sender around
	// each call, read by libavformat's interrupt callback on it.
	std::atomic<uint64_t> io_deadline_ns {0};
	// The sender is in open_muxer, where a halt may leave it. Changed under the record's lock;
	// also read by the interrupt callback without it.
	std::atomic<bool> connecting {false};
	// Under the record's lock: the thread is done with the record; a halt left it behind.
	bool ended = false;
	bool abandoned = false;
};

struct MuxOutputData {
	explicit MuxOutputData(obs_output_t *host_output) : output(host_output) {}
	MuxOutputData(const MuxOutputData &) = delete;
	MuxOutputData &operator=(const MuxOutputData &) = delete;

	obs_output_t *const output; // not owned; the sender uses it only while its run is not halted
	// The host's reference, from create to destroy. A sender thread holds one of its own, so a
	// sender left behind in a host-name lookup (SenderRun) keeps the record until it ends.
	std::shared_ptr<MuxOutputData> host_ref;

	// The short lock. Guards the settings, the run state and the queue. Held by the packet
	// callback for a queue operation, by update, by start and stop to change the run state,
	// and by the sender to take a packet or publish what it found: never across network I/O,
	// a wait for a thread, log output, or a host call that raises a signal. Never taken twice
	// by a thread.
	std::mutex mutex;
	// A halt wakes the sender through it; packets and connect requests wait for its next look.
	std::condition_variable wake;
	// The sender tells a halt through it that it has ended (SenderRun::ended).
	std::condition_variable sender_ended;
	// Held by a halt from start to end, and by launch_sender: a user's stop and the host's forced
	// stop (at release) may come together on two threads, and a thread is joined only once; the
	// second halt waits for the first and then finds nothing to end. Taken before the short lock;
	// never on the host's encoder threads.
	std::mutex halt_mutex;

	std::string server;
	std::string key;
	std::string url;
	std::string tcurl;
	uint32_t fps_num = 30;
	uint32_t fps_den = 1;

	RunPhase phase = RunPhase::Idle;
	// A packet asked the sender to connect (first open, or a reconnect attempt on a keyframe).
	bool connect_requested = false;
	// The sender is connecting: requests wait until it is done.
	bool connect_running = false;
	// A new connection starts with a picture the server can decode: nothing is queued before
	// a video keyframe.
	bool awaiting_keyframe = false;
	// The queue reached its cap: the sender treats the link as lost. Atomic because it also
	// interrupts the write in progress.
	std::atomic<bool> overflow {false};
	PacketQueue queue;
	uint64_t next_attempt_ns = 0; // os_gettime_ns clock
	uint32_t reconnect_attempts = 0;
	// The run's first keyframe went out to the queue: from then on every video frame counts, for
	// the dropped share, whether it is sent, dropped by the queue or lost with a connection.
	bool frames_counted = false;
	uint64_t video_frames = 0;
	// Video frames thrown away because the connection was lost: those queued when it went, and
	// those that came until the next connection's first keyframe.
	uint64_t lost_frames = 0;

	// Health for the host's info callbacks and the dock, read without the lock.
	std::atomic<uint64_t> total_bytes {0};
	std::atomic<uint64_t> dropped_frames {0};
	std::atomic<uint64_t> total_frames {0};
	std::atomic<float> congestion {0.0f};
	// The queue's span in microseconds and whether queued video was dropped and video waits for a
	// keyframe, for the adaptive bitrate and the status: published with the congestion.
	std::atomic<int64_t> queue_span_us {0};
	std::atomic<bool> video_paused {false};
	std::atomic<int> connect_time_ms {0};
	std::atomic<RunPhase> published_phase {RunPhase::Idle};
	std::atomic<uint64_t> packets_written {0};
	// Time spent in packet writes: on a link that cannot take more, what was written over the
	// time it took is the link's rate, also when the queue was just emptied by the drop policy.
	std::atomic<uint64_t> write_ns {0};

	// The muxer belongs to the sender thread while it runs; the pointer changes under the lock.
	FormatContextPtr fmt_ctx;
	AVStream *video_stream = nullptr; // owned by fmt_ctx
	AVStream *audio_stream = nullptr; // owned by fmt_ctx
	int64_t last_video_dts = kNoTimestamp;
	int64_t last_audio_dts = kNoTimestamp;

	const bool measure_hold = getenv("BL_MEASURE_HOLD") != nullptr;
	HoldStats hold;

	// The current run and its thread, under halt_mutex.
	std::shared_ptr<SenderRun> run;
	std::thread sender;
};

// Lock held. Readers without the lock see the phase too, except that a connection shows as
// streaming only once a packet went out on it (send_next): until then it is still connecting.
inline void set_phase(MuxOutputData &record, RunPhase phase)
{
	record.phase = phase;
	if (phase != RunPhase::Streaming)
		record.published_phase.store(phase);
}

// Lock held: the video frames the queue dropped and those lost with a connection, for the host.
inline void publish_dropped(MuxOutputData &record)
{
	record.dropped_frames.store(record.queue.dropped_frames() + record.lost_frames);
}

// The interrupt callback handed to libavformat for a run's connection (opaque: the SenderRun):
// the deadline of the call has passed, or a halt ends it.
int io_interrupt(void *run);

// Lock held: what the queue says about the link, for the readers without the lock.
inline void publish_queue(MuxOutputData &record)
{
	record.congestion.store(record.queue.congestion());
	record.queue_span_us.store(record.queue.span_us());
	record.video_paused.store(record.queue.waiting_for_keyframe());
}
// Bounds the network call that follows by budget_ns from now, until disarm_io_deadline.
void arm_io_deadline(SenderRun &run, uint64_t budget_ns);
void disarm_io_deadline(SenderRun &run);

// On the sender thread, with the record's lock held: checks that a muxer can be opened now and
// copies what the connect needs (rtmp-muxer.cpp).
PrepareResult prepare_muxer(MuxOutputData &record, MuxerRequest &request);
// On the sender thread, without the record's lock: builds the FLV muxer, connects and writes the
// header, bounded by kOpenBudgetNs and by a halt. Logs the outcome (a failure only unless halted)
// and touches nothing but the run: a halt may leave the thread here (SenderRun).
OpenedMuxer open_muxer(SenderRun &run, const MuxerRequest &request);
// With the record's lock held, on the sender: the opened muxer becomes the record's.
void adopt_muxer(MuxOutputData &record, FormatContextPtr context);
// Without the lock, on the sender of the run that adopted the muxer: trailer, then the
// connection and the context go, bounded by kCloseBudgetNs and by the run's halt.
void close_muxer(MuxOutputData &record, SenderRun &run);
// Frees a muxer that was never published (the output stopped while it connected), bounded like a
// close; on the sender, without the lock.
void discard_muxer(SenderRun &run, FormatContextPtr context);

// The host's encoded_packet callback, on the host's encoder threads (packet-callback.cpp).
void mux_encoded_packet(void *data, encoder_packet *packet);
// On the sender thread as it ends (the CPU time it logs for the sender is this thread's): logs
// and clears the hold statistics of the run.
void log_hold_stats(MuxOutputData &record);

enum class WriteResult { Written, Skipped, Disconnected, Failed };
// Writes one packet into the open muxer; on the sender, without the lock (packet-writer.cpp). A
// lost connection (Disconnected) leaves the write's error code in error_code.
WriteResult write_packet(MuxOutputData &record, const SenderRun &run, const encoder_packet &in, int &error_code);

// On the thread of start: a new run's sender thread, after halt_sender; lock not held
// (sender.cpp). The record must be the host's (host_ref set).
void launch_sender(MuxOutputData &record);
// Ends the run's sender: the phase becomes Idle, the queue is dropped, a connect under way ends
// at once, a write in progress and the close within kHaltBudgetNs; then joins the thread, or
// leaves it behind in a host-name lookup (SenderRun). On the thread of start, stop or destroy,
// without the lock; within about a second whatever the network does.
void halt_sender(MuxOutputData &record);

// The registration record, filled once (mux-output.cpp).
const obs_output_info &mux_output_info();

} // namespace brasslight
