#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace bltest {

// Every line the host logs, in order, so that tests can assert on exact lines. Installed as the
// host's log handler; each line is also echoed to stderr, where CTest shows it on a failure.
class LogCapture {
public:
	static LogCapture &get();

	// Installs the handler (once per process); safe to call again.
	void install();

	std::vector<std::string> lines() const;
	// The number of lines so far: hand it to since() or wait_for() to look only at what follows.
	size_t mark() const;
	std::vector<std::string> since(size_t mark) const;
	bool contains(const std::string &substring, size_t from = 0) const;
	size_t count(const std::string &substring, size_t from = 0) const;
	// Polls until a line containing substring appears after from, or the deadline passes.
	bool wait_for(const std::string &substring, std::chrono::milliseconds timeout, size_t from = 0) const;
	// Lines after from that start with prefix, with the prefix kept.
	std::vector<std::string> with_prefix(const std::string &prefix, size_t from = 0) const;

private:
	LogCapture() = default;
	static void handler(int level, const char *format, va_list args, void *param);

	mutable std::mutex mutex;
	std::vector<std::string> captured;
	bool installed = false;
};

// The module's tagged lines after from, with the tag removed: what the module itself said.
std::vector<std::string> module_lines(size_t from = 0);

} // namespace bltest
