#include "rtmp-server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace bltest {

namespace {

const std::string kFixture = BL_SOURCE_DIR "/scripts/host/rtmpserver.py";
// Starting nginx (and making certificates for TLS) takes well under a second on loopback.
constexpr auto kReplyTimeout = std::chrono::seconds(30);

// The value of "key": NUMBER, "key": "TEXT" or "key": true in a one-line JSON reply.
std::string json_field(const std::string &reply, const std::string &key)
{
	std::smatch m;
	const std::regex field("\"" + key + "\": (\"([^\"]*)\"|[^,}]*)");
	return std::regex_search(reply, m, field) ? (m[2].matched ? m[2].str() : m[1].str()) : std::string();
}

::testing::AssertionResult started(ChildProcess &fixture, const std::vector<std::string> &argv, std::string *reply)
{
	std::string error;
	if (!fixture.start_piped(argv, &error))
		return ::testing::AssertionFailure() << error;
	*reply = fixture.read_line(kReplyTimeout).value_or("(no reply)");
	if (reply->find("\"error\"") != std::string::npos || reply->find("(no reply)") == 0)
		return ::testing::AssertionFailure() << "the RTMP fixture did not start: " << *reply;
	return ::testing::AssertionSuccess();
}

} // namespace

::testing::AssertionResult RtmpServer::start()
{
	if (fixture_.running()) {
		const std::string reply = command("start");
		return reply == "\"ok\"" ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << reply;
	}
	std::string reply;
	std::vector<std::string> argv = {"python3", kFixture};
	if (options_.tls)
		argv.push_back("--tls");
	::testing::AssertionResult ok = started(fixture_, argv, &reply);
	rtmp_port_ = static_cast<uint16_t>(std::atoi(json_field(reply, "rtmp").c_str()));
	tls_port_ = static_cast<uint16_t>(std::atoi(json_field(reply, "tls").c_str()));
	ca_file_ = json_field(reply, "ca");
	return ok;
}

std::string RtmpServer::command(const std::string &line)
{
	if (!fixture_.send_line(line))
		return {};
	return fixture_.read_line(kReplyTimeout).value_or("");
}

StreamStat RtmpServer::stream(const std::string &name)
{
	StreamStat stat;
	const std::string reply = command("stat " + name);
	stat.present = reply.size() > 2 && reply.front() == '{' && json_field(reply, "error").empty();
	stat.publishing = json_field(reply, "publishing") == "true";
	stat.bytes_in = std::strtoull(json_field(reply, "bytes_in").c_str(), nullptr, 10);
	return stat;
}

bool RtmpServer::wait(const std::string &name, bool publishing, std::chrono::milliseconds timeout,
		      std::string *last_seen)
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	for (;;) {
		const StreamStat s = stream(name);
		if (s.publishing == publishing)
			return true;
		if (std::chrono::steady_clock::now() >= deadline) {
			if (last_seen)
				*last_seen = s.present ? "present, bytes_in=" + std::to_string(s.bytes_in) : "absent";
			return false;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
	}
}

SilentServer::SilentServer(uint16_t port)
{
	std::string reply;
	if (started(fixture_, {"python3", kFixture, "silent", std::to_string(port)}, &reply))
		port_ = static_cast<uint16_t>(std::atoi(json_field(reply, "port").c_str()));
}

int SilentServer::accepted()
{
	return fixture_.send_line("accepted") ? std::atoi(fixture_.read_line(kReplyTimeout).value_or("").c_str()) : -1;
}

uint16_t free_loopback_port()
{
	const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in addr = {};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof(addr);
	const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
			getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0;
	if (fd >= 0)
		close(fd);
	return ok ? ntohs(addr.sin_port) : 0;
}

bool port_accepts(uint16_t port)
{
	const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in addr = {};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	addr.sin_port = htons(port);
	const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
	if (fd >= 0)
		close(fd);
	return ok;
}

} // namespace bltest
