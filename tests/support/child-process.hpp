#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "temp-dir.hpp"

namespace bltest {

// A program started by a test. It gets SIGKILL when the test process dies or this object goes:
// a test that fails or crashes half-way never leaves one behind.
class ChildProcess {
public:
	ChildProcess() = default;
	ChildProcess(const ChildProcess &) = delete;
	ChildProcess &operator=(const ChildProcess &) = delete;
	~ChildProcess() { end(std::chrono::milliseconds(0)); }

	// Starts argv[0] (from PATH), its output to output_path; false and error when it cannot.
	bool start(const std::vector<std::string> &argv, const std::string &output_path, std::string *error);
	// Starts it talking lines over pipes (stdin, stdout); its stderr stays the test's.
	bool start_piped(const std::vector<std::string> &argv, std::string *error);
	bool send_line(const std::string &line);
	std::optional<std::string> read_line(std::chrono::milliseconds timeout);

	bool running();
	void signal(int sig); // to this program only, never to a group or by name
	// Waits up to timeout for the end and reaps: the wait status, or nothing while it runs.
	std::optional<int> wait_exit(std::chrono::milliseconds timeout);
	// Closes its stdin (a piped program's cue to clean up and end), then kills it after grace.
	void end(std::chrono::milliseconds grace);

private:
	// Closes in and out here once the child has them.
	bool spawn(const std::vector<std::string> &argv, int in, int out, bool err_to_out, std::string *error);

	pid_t pid_ = -1;
	std::optional<int> status_;
	int to_child_ = -1, from_child_ = -1;
};

struct CommandResult {
	bool timed_out = false;
	int exit_code = -1; // the program's exit code, or -1 when it was killed or did not start
	std::string output; // standard output and error, interleaved
};

CommandResult run_command(const std::vector<std::string> &argv, std::chrono::milliseconds timeout);

} // namespace bltest
