#include "common/ui-thread.hpp"

#include <condition_variable>
#include <mutex>

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace brasslight {

struct UiQueue::Core {
	// Guards `context` against a post racing the close: posted events go with their receiver.
	std::mutex mutex;
	std::unique_ptr<QObject> context;
};

namespace {

// What a waiting run() shares with its task: the task may outlive the wait.
struct Completion {
	std::mutex mutex;
	std::condition_variable done;
	bool finished = false;
	bool ran = false;

	void finish(bool task_ran)
	{
		std::lock_guard<std::mutex> lock(mutex);
		if (finished)
			return;
		finished = true;
		ran = task_ran;
		done.notify_all();
	}
};

// Reports a task that is destroyed unrun (its queue closed) as finished, so nobody waits in vain.
struct CompletionGuard {
	explicit CompletionGuard(std::shared_ptr<Completion> done) : completion(std::move(done)) {}
	CompletionGuard(const CompletionGuard &) = delete;
	CompletionGuard &operator=(const CompletionGuard &) = delete;
	std::shared_ptr<Completion> completion;
	~CompletionGuard()
	{
		if (completion)
			completion->finish(false);
	}
};

bool on_ui_thread()
{
	const QCoreApplication *app = QCoreApplication::instance();
	return !app || QThread::currentThread() == app->thread();
}

} // namespace

UiQueue::UiQueue() : core(std::make_shared<Core>())
{
	core->context = std::make_unique<QObject>();
}

UiQueue::~UiQueue()
{
	close();
}

void UiQueue::post(std::function<void()> task) const
{
	std::lock_guard<std::mutex> lock(core->mutex);
	if (core->context && QCoreApplication::instance())
		QMetaObject::invokeMethod(core->context.get(), std::move(task), Qt::QueuedConnection);
}

bool UiQueue::run(std::function<void()> task, std::chrono::milliseconds bound) const
{
	if (on_ui_thread()) {
		{
			std::lock_guard<std::mutex> lock(core->mutex);
			if (!core->context)
				return false;
		}
		task();
		return true;
	}
	auto completion = std::make_shared<Completion>();
	auto guard = std::make_shared<CompletionGuard>(completion);
	post([task = std::move(task), guard]() {
		task();
		guard->completion->finish(true);
	});
	// The guard now lives only in the queued task: dropped unrun, it reports so at once.
	guard.reset();
	std::unique_lock<std::mutex> lock(completion->mutex);
	completion->done.wait_for(lock, bound, [&completion] { return completion->finished; });
	return completion->finished && completion->ran;
}

void UiQueue::close()
{
	std::unique_ptr<QObject> receiver;
	{
		std::lock_guard<std::mutex> lock(core->mutex);
		receiver = std::move(core->context);
	}
	// Deleting the receiver deletes the events queued for it, and with them their tasks; outside
	// the lock, because a task's captures may post again while they are destroyed.
	receiver.reset();
}

} // namespace brasslight
