// The output's sender thread: connecting on the first packet and on reconnect attempts, sending
// from the queue, the output's own reconnect mode, and ending a run on an error.
//
// The sender thread owns the connection: it connects, converts, writes and flushes, and closes.
// When the link is slower than the stream the queue grows, and the drop policy (packet-queue.hpp)
// sheds video by priority; the host's threads never notice.

#include "mux/mux-output-data.hpp"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <climits>
#include <pthread.h>
#include <sched.h>
#include <utility>

extern "C" {
#include <libavutil/error.h>
}

#include <util/platform.h>

#include "common/log.hpp"

namespace brasslight {

namespace {

// How often the sender looks for work. The packet callback wakes no one: a wake-up is a system
// call, and on a loaded machine a system call is where the scheduler takes the processor away
// from the calling thread, which is the host's audio or video thread. Measured in the real host
// app on two busy cores: a wake-up per packet gave the callback a p99 hold time of 7 to 15 ms;
// without it, tens of microseconds. The poll costs about a hundred short wake-ups a second of a
// thread that would otherwise wake for every packet, and delays a packet by at most 10 ms.
constexpr auto kSenderPoll = std::chrono::milliseconds(10);

// Lock held, after the sender released it for a while: a halt ended the run meanwhile, or an
// encoder failure did (packet-callback.cpp). Whatever the sender found belongs to no run then.
bool run_over(const MuxOutputData &record, const SenderRun &run)
{
	return run.halted() || record.phase == RunPhase::Failed;
}

void emit_signal(MuxOutputData &record, const char *name, int timeout_sec = -1)
{
	calldata_t data = {};
	calldata_set_ptr(&data, "output", record.output);
	if (timeout_sec >= 0)
		calldata_set_int(&data, "timeout_sec", timeout_sec);
	signal_handler_signal(obs_output_get_signal_handler(record.output), name, &data);
	calldata_free(&data);
}

// The connection is lost (a write failed on it with `code`, or the queue overflowed); on the
// sender, lock held on entry and exit. Packets are dropped from now on until an attempt succeeds.
// The state and the last error change before the line is logged, so that whoever reads the line
// finds both; the line itself is written without the lock, which the host's encoder threads take.
void enter_reconnect_mode(MuxOutputData &record, SenderRun &run, std::unique_lock<std::mutex> &lock, const char *reason,
			  int code)
{
	set_phase(record, RunPhase::Reconnecting);
	obs_output_set_last_error(record.output, "RTMP disconnected, reconnecting...");
	record.overflow = false;
	// What was queued goes with the connection: the host's statistics count its video as dropped.
	record.lost_frames += record.queue.clear();
	publish_dropped(record);
	publish_queue(record);
	record.next_attempt_ns = UINT64_MAX; // none before the close is done
	lock.unlock();
	log_msg(LOG_WARNING, "entering reconnect mode: %s (%s, code=%d)", reason, describe_error(code).c_str(), code);
	close_muxer(record, run);
	lock.lock();
	if (run_over(record, run))
		return;
	record.reconnect_attempts += 1;
	const uint64_t delay = reconnect_delay_ns(record.reconnect_attempts);
	record.next_attempt_ns = os_gettime_ns() + delay;
	lock.unlock();
	emit_signal(record, "reconnect", static_cast<int>(delay / kSecondNs));
	lock.lock();
}

// The run ends on an error: one stop per run, raised here and nowhere else; the muxer closes at
// once. Lock held on entry and exit; line: what to log first.
void fail_run(MuxOutputData &record, SenderRun &run, std::unique_lock<std::mutex> &lock, const char *line)
{
	set_phase(record, RunPhase::Failed);
	record.queue.clear();
	publish_queue(record);
	lock.unlock();
	if (line)
		log_msg(LOG_ERROR, "%s", line);
	close_muxer(record, run);
	lock.lock();
	// A halt that came meanwhile ends the host's capture itself: this run's end is a stop then.
	if (run.halted())
		return;
	lock.unlock();
	// Not under the lock: raising the stop emits the host's "stop" signal on this thread, and
	// its handlers may call into the output.
	obs_output_signal_stop(record.output, OBS_OUTPUT_ERROR);
	lock.lock();
}

// A failed connect: a reconnect waits for its next attempt, a first connect ends the run. Lock
// held on entry and exit.
void connect_failed(MuxOutputData &record, SenderRun &run, std::unique_lock<std::mutex> &lock, bool reconnecting)
{
	if (!reconnecting) {
		fail_run(record, run, lock, "open_muxer fatal — stopping output");
		return;
	}
	record.reconnect_attempts += 1;
	record.next_attempt_ns = os_gettime_ns() + reconnect_delay_ns(record.reconnect_attempts);
	lock.unlock();
	log_msg(LOG_WARNING, "reconnect failed, will retry");
	lock.lock();
}

// A packet asked for a connection; lock held on entry and exit.
void connect(MuxOutputData &record, SenderRun &run, std::unique_lock<std::mutex> &lock)
{
	record.connect_requested = false;
	const bool reconnecting = record.phase == RunPhase::Reconnecting;
	MuxerRequest request;
	switch (prepare_muxer(record, request)) {
	case PrepareResult::Ready:
		break;
	case PrepareResult::NotReady:
		// Each later packet asks again until the encoders have their header data.
		if (reconnecting)
			record.next_attempt_ns = os_gettime_ns() + kSecondNs;
		return;
	case PrepareResult::Fatal:
		connect_failed(record, run, lock, reconnecting);
		return;
	}

	record.connect_running = true;
	// Under the lock: a halt that sees it may leave this thread in the connect (SenderRun).
	run.connecting.store(true);
	lock.unlock();
	if (reconnecting)
		log_msg(LOG_INFO, "attempting reconnect on keyframe");
	const uint64_t began = os_gettime_ns();
	OpenedMuxer opened = open_muxer(run, request);
	const uint64_t took_ms = (os_gettime_ns() - began) / 1000000;
	lock.lock();
	run.connecting.store(false);
	if (run_over(record, run)) {
		// Stopped, restarted or failed while connecting: the result belongs to a run that is
		// over, and if a halt left this thread behind, the record may already serve the next run.
		lock.unlock();
		if (opened.context)
			discard_muxer(run, std::move(opened.context));
		lock.lock();
		return;
	}
	record.connect_running = false;
	if (!opened.context) {
		obs_output_set_last_error(record.output, opened.error);
		// The reconnect delay counts from the end of the attempt.
		connect_failed(record, run, lock, reconnecting);
		return;
	}
	adopt_muxer(record, std::move(opened.context));
	set_phase(record, RunPhase::Streaming);
	record.awaiting_keyframe = true;
	if (!reconnecting) {
		record.connect_time_ms.store(static_cast<int>(std::min<uint64_t>(took_ms, INT_MAX)));
		return;
	}
	record.reconnect_attempts = 0;
	lock.unlock();
	log_msg(LOG_INFO, "reconnect succeeded");
	emit_signal(record, "reconnect_success");
	lock.lock();
}

// Takes the next packet and writes it; lock held on entry and exit.
void send_next(MuxOutputData &record, SenderRun &run, std::unique_lock<std::mutex> &lock)
{
	QueuedPacket packet;
	record.queue.pop(packet);
	publish_queue(record);
	lock.unlock();
	int code = 0;
	const WriteResult result = write_packet(record, run, packet.get(), code);
	const char *reason = packet.get().type == OBS_ENCODER_VIDEO ? "video write failed" : "audio write failed";
	packet = QueuedPacket();
	lock.lock();
	if (run_over(record, run))
		return; // and the queue was dropped
	record.queue.sent();
	publish_queue(record);
	if (result == WriteResult::Written && record.phase == RunPhase::Streaming)
		record.published_phase.store(RunPhase::Streaming);
	else if (result == WriteResult::Disconnected && !record.overflow)
		enter_reconnect_mode(record, run, lock, reason, code);
	else if (result == WriteResult::Failed)
		fail_run(record, run, lock, nullptr);
}

void send_loop(MuxOutputData &record, SenderRun &run)
{
#if defined(__linux__)
	// A batch thread never preempts a running thread when it wakes: its looks for work never
	// take the processor from the host's audio or video threads; it runs at the scheduler's
	// next turn instead, a delay of milliseconds that no stream minds.
	sched_param batch = {};
	pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);
#endif
	std::unique_lock<std::mutex> lock(record.mutex);
	while (!run_over(record, run)) {
		// Looks for work every kSenderPoll: the packet callback wakes no one (see there).
		if (!record.wake.wait_for(lock, kSenderPoll, [&record, &run] {
			    return run.halted() || record.overflow || record.connect_requested || !record.queue.empty();
		    }))
			continue;
		if (run.halted())
			break;
		if (record.overflow)
			enter_reconnect_mode(record, run, lock, "send queue full", AVERROR(ETIMEDOUT));
		else if (record.connect_requested)
			connect(record, run, lock);
		else
			send_next(record, run, lock);
	}
	// Left behind by a halt, the thread owns nothing of the record any more: a muxer there is
	// the next run's.
	const bool owns_record = !run.abandoned;
	lock.unlock();
	if (owns_record) {
		close_muxer(record, run);
		if (record.measure_hold)
			log_hold_stats(record);
	}
	lock.lock();
	run.ended = true;
	record.sender_ended.notify_all();
}

} // namespace

void launch_sender(MuxOutputData &record)
{
	// Against a halt on another thread, which takes the run and the thread.
	std::lock_guard<std::mutex> one_at_a_time(record.halt_mutex);
	auto run = std::make_shared<SenderRun>(record);
	record.run = run;
	// The thread's own reference to the record: see SenderRun.
	record.sender = std::thread([owner = record.host_ref, run] { send_loop(*owner, *run); });
}

void halt_sender(MuxOutputData &record)
{
	// For the whole halt: a second one waits for it (see halt_mutex).
	std::lock_guard<std::mutex> one_at_a_time(record.halt_mutex);
	const std::shared_ptr<SenderRun> run = std::move(record.run);
	{
		// Brief: a packet callback that waits on the lock then sees the output Idle.
		std::lock_guard<std::mutex> lock(record.mutex);
		if (run)
			run->halt_deadline_ns.store(os_gettime_ns() + kHaltBudgetNs);
		set_phase(record, RunPhase::Idle);
		record.queue.clear();
		publish_queue(record);
		record.connect_requested = false;
		record.connect_running = false;
		record.overflow = false;
		record.next_attempt_ns = 0;
		record.reconnect_attempts = 0;
	}
	record.wake.notify_all();
	if (!record.sender.joinable())
		return; // no run was launched since the last halt
	bool left_behind = false;
	{
		// The wait releases the lock, which the sender takes to finish.
		std::unique_lock<std::mutex> lock(record.mutex);
		record.sender_ended.wait_for(lock, std::chrono::nanoseconds(kHaltBudgetNs),
					     [&run] { return run->ended; });
		// A write or a close ends by the halt's deadline, a connect at once: a connect still
		// running now is in the host-name lookup, which nothing interrupts.
		record.sender_ended.wait(lock, [&run] { return run->ended || run->connecting.load(); });
		left_behind = run->abandoned = !run->ended;
	}
	if (!left_behind) {
		record.sender.join();
		return;
	}
	record.sender.detach();
	log_msg(LOG_INFO, "stopped while the server's name was being looked up; the lookup ends on its own");
}

} // namespace brasslight
