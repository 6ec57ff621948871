#include "log-capture.hpp"

#include <cstdarg>
#include <cstdio>
#include <thread>

#include <util/base.h>

namespace bltest {

LogCapture &LogCapture::get()
{
	static LogCapture capture;
	return capture;
}

void LogCapture::install()
{
	std::lock_guard<std::mutex> lock(mutex);
	if (installed)
		return;
	installed = true;
	base_set_log_handler(&LogCapture::handler, this);
}

void LogCapture::handler(int level, const char *format, va_list args, void *param)
{
	char line[8192];
	vsnprintf(line, sizeof(line), format, args);
	fprintf(stderr, "[%d] %s\n", level, line);

	auto *self = static_cast<LogCapture *>(param);
	std::lock_guard<std::mutex> lock(self->mutex);
	self->captured.emplace_back(line);
}

std::vector<std::string> LogCapture::lines() const
{
	std::lock_guard<std::mutex> lock(mutex);
	return captured;
}

size_t LogCapture::mark() const
{
	std::lock_guard<std::mutex> lock(mutex);
	return captured.size();
}

std::vector<std::string> LogCapture::since(size_t from) const
{
	std::lock_guard<std::mutex> lock(mutex);
	if (from >= captured.size())
		return {};
	return {captured.begin() + static_cast<std::ptrdiff_t>(from), captured.end()};
}

size_t LogCapture::count(const std::string &substring, size_t from) const
{
	size_t n = 0;
	for (const std::string &line : since(from))
		if (line.find(substring) != std::string::npos)
			++n;
	return n;
}

bool LogCapture::contains(const std::string &substring, size_t from) const
{
	return count(substring, from) > 0;
}

bool LogCapture::wait_for(const std::string &substring, std::chrono::milliseconds timeout, size_t from) const
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	while (!contains(substring, from)) {
		if (std::chrono::steady_clock::now() >= deadline)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	return true;
}

std::vector<std::string> LogCapture::with_prefix(const std::string &prefix, size_t from) const
{
	std::vector<std::string> out;
	for (const std::string &line : since(from))
		if (line.compare(0, prefix.size(), prefix) == 0)
			out.push_back(line);
	return out;
}

std::vector<std::string> module_lines(size_t from)
{
	static const std::string tag = "[brasslight-obs-vertical] ";
	std::vector<std::string> out;
	for (const std::string &line : LogCapture::get().with_prefix(tag, from))
		out.push_back(line.substr(tag.size()));
	return out;
}

} // namespace bltest
