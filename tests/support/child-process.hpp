#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "log-capture.hpp"
#include "temp-dir.hpp"

namespace bltest {

// Gets SIGKILL when the test process dies or this object goes: a crashed test leaves none behind.
class ChildProcess {
public:
	ChildProcess() = default;
	ChildProcess(const ChildProcess &) = delete;
	ChildProcess &operator=(const ChildProcess &) = delete;
	~ChildProcess() { end(std::chrono::milliseconds(0)); }

	bool start(const std::vector<std::string> &argv, const std::string &output_path, std::string *error)
	{
		return spawn(argv, open("/dev/null", O_RDONLY | O_CLOEXEC),
			     open(output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644), true, error);
	}
	// Talks lines over its stdin and stdout; its stderr stays the test's.
	bool start_piped(const std::vector<std::string> &argv, std::string *error)
	{
		int to[2], from[2];
		if (pipe2(to, O_CLOEXEC) != 0 || pipe2(from, O_CLOEXEC) != 0)
			return false;
		const bool ok = spawn(argv, to[0], from[1], false, error);
		to_child_ = to[1];
		from_child_ = from[0];
		return ok;
	}
	bool send_line(const std::string &line)
	{
		const std::string data = line + "\n";
		return to_child_ >= 0 &&
		       write(to_child_, data.data(), data.size()) == static_cast<ssize_t>(data.size());
	}
	std::optional<std::string> read_line(std::chrono::milliseconds timeout)
	{
		using namespace std::chrono;
		const auto deadline = steady_clock::now() + timeout;
		pollfd p = {from_child_, POLLIN, 0};
		std::string line;
		char c = 0;
		while (poll_until([&] { return poll(&p, 1, 0) > 0; },
				  duration_cast<milliseconds>(deadline - steady_clock::now())) &&
		       read(from_child_, &c, 1) == 1 && c != '\n')
			line.push_back(c);
		return c == '\n' ? std::optional(line) : std::nullopt;
	}

	bool running()
	{
		int status = 0;
		if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) == 0)
			return pid_ > 0;
		status_ = status;
		pid_ = -1;
		return false;
	}
	// To this program only, never to a group or by name.
	void signal(int sig)
	{
		if (running())
			::kill(pid_, sig);
	}
	std::optional<int> wait_exit(std::chrono::milliseconds timeout)
	{
		return poll_until([this] { return !running(); }, timeout) ? status_ : std::nullopt;
	}
	// Closes its stdin (a piped program's cue to clean up and end), then kills it after grace.
	void end(std::chrono::milliseconds grace)
	{
		for (int *fd : {&to_child_, &from_child_})
			if (*fd >= 0)
				close(std::exchange(*fd, -1));
		if (wait_exit(grace) || !running())
			return;
		::kill(pid_, SIGKILL);
		wait_exit(std::chrono::hours(1)); // reaps it
	}

private:
	// Closes in and out here once the child has them.
	bool spawn(const std::vector<std::string> &argv, int in, int out, bool err_to_out, std::string *error)
	{
		end(std::chrono::milliseconds(0));
		status_.reset();
		std::vector<char *> args;
		for (const std::string &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		const pid_t parent = getpid();
		pid_ = in >= 0 && out >= 0 ? fork() : -1;
		if (pid_ == 0) {
			// Only async-signal-safe calls until exec: the test process has the host's threads.
			prctl(PR_SET_PDEATHSIG, SIGKILL);
			if (getppid() != parent)
				_exit(127);
			dup2(in, STDIN_FILENO);
			dup2(out, STDOUT_FILENO);
			if (err_to_out)
				dup2(out, STDERR_FILENO);
			execvp(args[0], args.data());
			_exit(127);
		}
		if (pid_ < 0 && error)
			*error = "cannot start " + argv[0] + ": " + std::strerror(errno);
		close(in);
		close(out);
		return pid_ > 0;
	}

	pid_t pid_ = -1;
	std::optional<int> status_;
	int to_child_ = -1, from_child_ = -1;
};

struct CommandResult {
	int exit_code = -1; // the program's exit code, or -1 when it was killed or did not start
	std::string output; // standard output and error, interleaved
};

inline CommandResult run_command(const std::vector<std::string> &argv, std::chrono::milliseconds timeout)
{
	TempDir dir("bl-cmd");
	ChildProcess child; // killed at the end of the call if still running
	CommandResult result;
	if (child.start(argv, dir.file("output.txt"), &result.output)) {
		const std::optional<int> status = child.wait_exit(timeout);
		result.exit_code = status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
		result.output = read_file(dir.file("output.txt"));
	}
	return result;
}

} // namespace bltest
