#include "module/host-events.hpp"

#include <atomic>
#include <mutex>

#include "module/runtime.hpp"

namespace brasslight {

namespace {
std::atomic<bool> in_event_callback {false};
}

void on_frontend_event(enum obs_frontend_event event, void *)
{
	// Dropped, not queued: a nested or concurrent event would otherwise rebuild or stop the
	// runtime in the middle of the handling that is already running.
	bool expected = false;
	if (!in_event_callback.compare_exchange_strong(expected, true))
		return;
	{
		std::lock_guard<std::recursive_mutex> lock(runtime_lock);
		switch (event) {
		default:
			break;
		}
	}
	in_event_callback.exchange(false);
}

} // namespace brasslight
