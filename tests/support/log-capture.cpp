#include "log-capture.hpp"

#include <cstdio>
#include <thread>

#include <util/base.h>

namespace bltest {

bool poll_until(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	while (!done()) {
		if (std::chrono::steady_clock::now() >= deadline)
			return done();
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	return true;
}

LogCapture &LogCapture::get()
{
	static LogCapture capture;
	return capture;
}

void LogCapture::install()
{
	static const bool installed = (base_set_log_handler(&LogCapture::handler, this), true);
	(void)installed;
}

void LogCapture::handler(int level, const char *format, va_list args, void *param)
{
	const auto now = Clock::now();
	char line[8192];
	vsnprintf(line, sizeof(line), format, args);
	fprintf(stderr, "[%d] %s\n", level, line);
	auto *self = static_cast<LogCapture *>(param);
	std::lock_guard<std::mutex> lock(self->mutex);
	self->captured.emplace_back(now, line);
}

std::vector<std::string> LogCapture::since(size_t from) const
{
	std::lock_guard<std::mutex> lock(mutex);
	std::vector<std::string> out;
	for (size_t i = from; i < captured.size(); ++i)
		out.push_back(captured[i].second);
	return out;
}

std::vector<LogCapture::Clock::time_point> LogCapture::times(const std::string &substring, size_t from) const
{
	std::vector<Clock::time_point> out;
	std::lock_guard<std::mutex> lock(mutex);
	for (size_t i = from; i < captured.size(); ++i)
		if (captured[i].second.find(substring) != std::string::npos)
			out.push_back(captured[i].first);
	return out;
}

std::vector<std::string> module_lines(size_t from)
{
	const std::string tag = "[brasslight-obs-vertical] ";
	std::vector<std::string> out;
	for (const std::string &line : LogCapture::get().since(from))
		if (line.rfind(tag, 0) == 0)
			out.push_back(line.substr(tag.size()));
	return out;
}

} // namespace bltest
