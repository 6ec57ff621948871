#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "temp-dir.hpp"

namespace bltest {

// One program started by a test (a server, a publisher, a probe). Its standard output and error
// go to a file so that a failing test can show them. The destructor kills a program that is
// still running: a test that fails half-way never leaves one behind.
class ChildProcess {
public:
	ChildProcess() = default;
	ChildProcess(const ChildProcess &) = delete;
	ChildProcess &operator=(const ChildProcess &) = delete;
	~ChildProcess();

	// Starts argv[0] (looked up in PATH) with output to output_path. False when it could not
	// be started; error then says why.
	bool start(const std::vector<std::string> &argv, const std::string &output_path, std::string *error);

	bool running();
	pid_t pid() const { return pid_; }

	// Sends sig to this program only (never to a group or by name).
	void signal(int sig);

	// Waits up to timeout for the program to end and reaps it. Its wait status, or nothing
	// when it is still running.
	std::optional<int> wait_exit(std::chrono::milliseconds timeout);

	// SIGKILL and reap; does nothing when not running.
	void kill_and_wait();

	// The wait status of the last run once it has ended.
	std::optional<int> exit_status() const { return status_; }

private:
	pid_t pid_ = -1;
	std::optional<int> status_;
};

struct CommandResult {
	bool started = false;
	bool timed_out = false;
	int exit_code = -1; // the program's exit code, or -1 when it was killed or did not start
	std::string output; // standard output and error, interleaved
};

// Runs a program to its end, killed when it takes longer than timeout.
CommandResult run_command(const std::vector<std::string> &argv, std::chrono::milliseconds timeout);

} // namespace bltest
