#pragma once

#include <cstdarg>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace bltest {

// Polls done() until it holds or the time-out passes; returns its last value.
bool poll_until(const std::function<bool()> &done, std::chrono::milliseconds timeout);

// Every line the host logs, with the moment it was logged, also echoed to stderr (where CTest
// shows it on a failure). from/mark: the number of lines before the ones looked at.
class LogCapture {
public:
	using Clock = std::chrono::steady_clock;
	static LogCapture &get();
	void install(); // once per process; safe to call again
	size_t mark() const { return since(0).size(); }
	std::vector<std::string> since(size_t from) const;
	bool contains(const std::string &substring, size_t from = 0) const { return count(substring, from) > 0; }
	size_t count(const std::string &substring, size_t from = 0) const { return times(substring, from).size(); }
	bool wait_for(const std::string &substring, std::chrono::milliseconds timeout, size_t from = 0) const
	{
		return poll_until([&] { return contains(substring, from); }, timeout);
	}
	// When each line after from that contains substring was logged.
	std::vector<Clock::time_point> times(const std::string &substring, size_t from = 0) const;

private:
	static void handler(int level, const char *format, va_list args, void *param);
	mutable std::mutex mutex;
	std::vector<std::pair<Clock::time_point, std::string>> captured;
};

// The module's tagged lines after from, with the tag removed: what the module itself said.
std::vector<std::string> module_lines(size_t from = 0);

} // namespace bltest
