#pragma once

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <util/base.h>

namespace bltest {

// Looks until done or the time-out, calling wait in between (by default a sleep of 10 ms).
inline bool poll_until(
	const std::function<bool()> &done, std::chrono::milliseconds timeout,
	const std::function<void()> &wait = [] { std::this_thread::sleep_for(std::chrono::milliseconds(10)); })
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	while (!done()) {
		if (std::chrono::steady_clock::now() >= deadline)
			return done();
		wait();
	}
	return true;
}

// Every line the host logs, with the moment it was logged, also echoed to stderr (where CTest
// shows it on a failure). from/mark: the number of lines before the ones looked at.
class LogCapture {
public:
	using Clock = std::chrono::steady_clock;
	static LogCapture &get()
	{
		static LogCapture capture;
		return capture;
	}
	void install() // once per process; safe to call again
	{
		[[maybe_unused]] static const bool installed = (base_set_log_handler(&LogCapture::handler, this), true);
	}
	size_t mark() const { return since(0).size(); }
	// Called with every line after this, on the thread that logs it; an empty function ends it.
	std::vector<std::string> since(size_t from) const
	{
		std::lock_guard<std::mutex> lock(mutex);
		std::vector<std::string> out;
		for (size_t i = from; i < captured.size(); ++i)
			out.push_back(captured[i].second);
		return out;
	}
	bool contains(const std::string &substring, size_t from = 0) const { return count(substring, from) > 0; }
	size_t count(const std::string &substring, size_t from = 0) const { return times(substring, from).size(); }
	// Until the returned guard goes, observer sees each line on the logging thread as it is logged,
	// before anyone can find it in the capture: what it reads then is what anyone who reads that
	// line finds. The guard's release waits for a call in progress. It must not log.
	[[nodiscard]] std::shared_ptr<void> observe(std::function<void(const std::string &)> observer)
	{
		auto held = std::make_shared<Observer>(std::move(observer));
		std::lock_guard<std::mutex> lock(observing);
		observers.push_back(held);
		return std::shared_ptr<void>(nullptr, [this, held](void *) {
			std::lock_guard<std::mutex> lock(observing);
			observers.erase(std::find(observers.begin(), observers.end(), held));
		});
	}
	std::vector<Clock::time_point> times(const std::string &substring, size_t from = 0) const
	{
		std::vector<Clock::time_point> out;
		std::lock_guard<std::mutex> lock(mutex);
		for (size_t i = from; i < captured.size(); ++i)
			if (captured[i].second.find(substring) != std::string::npos)
				out.push_back(captured[i].first);
		return out;
	}

private:
	static void handler(int level, const char *format, va_list args, void *param)
	{
		const auto now = Clock::now();
		char line[8192];
		vsnprintf(line, sizeof(line), format, args);
		fprintf(stderr, "[%d] %s\n", level, line);
		auto *self = static_cast<LogCapture *>(param);
		{
			// Not the capture's lock: an observer may look at what another logging thread holds.
			std::lock_guard<std::mutex> lock(self->observing);
			for (const auto &observer : self->observers)
				(*observer)(line);
		}
		std::lock_guard<std::mutex> lock(self->mutex);
		self->captured.emplace_back(now, line);
	}
	using Observer = std::function<void(const std::string &)>;
	mutable std::mutex mutex;
	std::mutex observing; // guards observers and orders a call against a guard's release
	std::vector<std::shared_ptr<Observer>> observers;
	std::vector<std::pair<Clock::time_point, std::string>> captured;
};

// The module's tagged lines after from, with the tag removed: what the module itself said.
inline std::vector<std::string> module_lines(size_t from = 0)
{
	const std::string tag = "[brasslight-obs-vertical] ";
	std::vector<std::string> out;
	for (const std::string &line : LogCapture::get().since(from))
		if (line.rfind(tag, 0) == 0)
			out.push_back(line.substr(tag.size()));
	return out;
}

} // namespace bltest
