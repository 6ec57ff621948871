#pragma once

// The module's one thread rule, written here because every folder includes this file:
//
//   Everything that builds, rebuilds or tears down the runtime, every change to a widget and every
//   call into the host's front end runs on the user-interface thread (the thread of the host's
//   QApplication). Code on any other thread (obs-websocket's request threads, the host's hotkey
//   thread, the host-signal handlers, an output's "stop" signal) only posts its work there, through
//   a UiQueue. A caller that needs the result waits for it with a bound and holds no lock while it
//   waits. So the runtime needs no lock of its own: its thread is its lock.
//
//   The host's render, encoder and audio threads feed the main stream too: nothing of ours waits
//   there on the user-interface thread, on the network or on a slow peer.
//
//   Locks that remain, each held only across its owner's own work: a canvas's lock (its slots,
//   against the host-signal handlers), an output controller's lock, then an output's record lock
//   (taken inside the host's output calls), in that order; the preview's small swap lock against
//   the graphics thread; the vertical-only audio's list lock against the host's audio thread
//   (taken last, under the canvas's lock or in the host's audio tick, and never across a host
//   call that takes a lock). None is held while posting to or waiting for the user-interface thread.

#include <chrono>
#include <functional>
#include <memory>

namespace brasslight {

// Work posted to the user-interface thread on behalf of one owner. What is still queued when the
// owner closes or destroys the queue is dropped unrun, so a posted task may use its owner freely.
// Made, closed and destroyed on the user-interface thread; post and run may be called from any.
class UiQueue {
public:
	UiQueue();
	~UiQueue();
	UiQueue(const UiQueue &) = delete;
	UiQueue &operator=(const UiQueue &) = delete;

	// Queues task for the user-interface thread's event loop and returns at once. Without an
	// application object (a host without its front end) nothing runs.
	void post(std::function<void()> task) const;
	// Runs task on the user-interface thread and waits at most `bound` for it; true when it ran.
	// On that thread itself, and without an application object, it runs at once. A task that was
	// not run in time may still run later: it must own everything it touches.
	bool run(std::function<void()> task, std::chrono::milliseconds bound) const;
	// Drops what is queued, wakes every run() waiting for it, and refuses new work.
	void close();

	struct Core;

private:
	std::shared_ptr<Core> core;
};

} // namespace brasslight
