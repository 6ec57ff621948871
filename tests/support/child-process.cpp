#include "child-process.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace bltest {

namespace {

// Polling interval while waiting for a program to end: short enough to keep tests quick,
// long enough not to spin.
constexpr auto kReapPoll = std::chrono::milliseconds(10);

} // namespace

ChildProcess::~ChildProcess()
{
	kill_and_wait();
}

bool ChildProcess::start(const std::vector<std::string> &argv, const std::string &output_path, std::string *error)
{
	kill_and_wait();
	status_.reset();

	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
					 0644);
	posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);

	std::vector<char *> args;
	for (const std::string &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);

	pid_t pid = -1;
	int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
	posix_spawn_file_actions_destroy(&actions);
	if (rc != 0) {
		if (error)
			*error = "cannot start " + argv[0] + ": " + std::strerror(rc);
		return false;
	}
	pid_ = pid;
	return true;
}

bool ChildProcess::running()
{
	if (pid_ <= 0)
		return false;
	int status = 0;
	pid_t r = waitpid(pid_, &status, WNOHANG);
	if (r == pid_ || (r < 0 && errno == ECHILD)) {
		status_ = status;
		pid_ = -1;
		return false;
	}
	return true;
}

void ChildProcess::signal(int sig)
{
	if (running())
		::kill(pid_, sig);
}

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds timeout)
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	while (running()) {
		if (std::chrono::steady_clock::now() >= deadline)
			return std::nullopt;
		std::this_thread::sleep_for(kReapPoll);
	}
	return status_;
}

void ChildProcess::kill_and_wait()
{
	if (!running())
		return;
	::kill(pid_, SIGKILL);
	int status = 0;
	while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
	}
	status_ = status;
	pid_ = -1;
}

CommandResult run_command(const std::vector<std::string> &argv, std::chrono::milliseconds timeout)
{
	CommandResult result;
	TempDir dir("bl-cmd");
	const std::string out = dir.file("output.txt");
	ChildProcess child;
	std::string error;
	if (!child.start(argv, out, &error)) {
		result.output = error;
		return result;
	}
	result.started = true;
	std::optional<int> status = child.wait_exit(timeout);
	if (!status) {
		result.timed_out = true;
		child.kill_and_wait();
	} else if (WIFEXITED(*status)) {
		result.exit_code = WEXITSTATUS(*status);
	}
	result.output = read_file(out);
	return result;
}

} // namespace bltest
