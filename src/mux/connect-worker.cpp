#include "mux/connect-worker.hpp"

#include <utility>

namespace brasslight {

ConnectWorker::~ConnectWorker()
{
	cancel_and_join();
}

void ConnectWorker::launch(std::function<void()> job)
{
	std::lock_guard<std::mutex> lock(mutex_);
	if (thread_.joinable())
		thread_.join();
	thread_ = std::thread(std::move(job));
}

void ConnectWorker::cancel_and_join()
{
	std::thread finishing;
	{
		std::lock_guard<std::mutex> lock(mutex_);
		cancel_.store(true, std::memory_order_relaxed);
		finishing = std::move(thread_);
	}
	// Not under mutex_: the job may take seconds to notice (an uninterruptible DNS lookup).
	if (finishing.joinable())
		finishing.join();
	cancel_.store(false, std::memory_order_relaxed);
}

} // namespace brasslight
