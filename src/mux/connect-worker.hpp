#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace brasslight {

// Runs one job at a time on a thread of its own, and ends it on request. The mux output runs its
// connect here: the RTMP handshake can take seconds, and none of it may run on a host thread.
//
// The owner must not launch while a cancel_and_join is in progress (the mux output clears its
// `active` flag under its lock first, and launches only while that flag is set).
class ConnectWorker {
public:
	ConnectWorker() = default;
	ConnectWorker(const ConnectWorker &) = delete;
	ConnectWorker &operator=(const ConnectWorker &) = delete;
	// Cancels and joins: no thread outlives its owner.
	~ConnectWorker();

	// Runs job on a new thread. The previous job must have finished its work; if its thread is
	// still returning, joining it costs only that thread's exit.
	void launch(std::function<void()> job);

	// Asks the running job to give up, waits until its thread has ended, then withdraws the
	// request. Never call it with a lock held that the job takes.
	void cancel_and_join();

	// Polled by the job's I/O interrupt callback, on the job's thread.
	bool cancelled() const { return cancel_.load(std::memory_order_relaxed); }

private:
	// Guards thread_: launch runs on the host's encoder threads, cancel_and_join on the thread
	// that starts, stops or destroys the output.
	std::mutex mutex_;
	std::thread thread_;
	std::atomic<bool> cancel_ {false};
};

} // namespace brasslight
