#include "rtmp-server.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace bltest {

namespace {

// The value of "key": NUMBER, "key": "TEXT" or "key": true in a one-line JSON reply.
std::string json_field(const std::string &reply, const std::string &key)
{
	std::smatch m;
	const std::regex field("\"" + key + "\": (\"([^\"]*)\"|[^,}]*)");
	return std::regex_search(reply, m, field) ? (m[2].matched ? m[2].str() : m[1].str()) : std::string();
}

// A TCP socket and 127.0.0.1:port; connect() when asked, else bind() (port 0: any free one).
// The port bound, or whether the connect was taken.
uint16_t on_loopback(uint16_t port, bool connect_to)
{
	const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in addr = {};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	addr.sin_port = htons(port);
	socklen_t len = sizeof(addr);
	auto *any = reinterpret_cast<sockaddr *>(&addr);
	const bool ok = fd >= 0 && (connect_to ? connect(fd, any, len) == 0
					       : bind(fd, any, len) == 0 && getsockname(fd, any, &len) == 0);
	close(fd);
	return ok ? (connect_to ? 1 : ntohs(addr.sin_port)) : 0;
}

} // namespace

uint16_t free_loopback_port()
{
	return on_loopback(0, false);
}

bool port_accepts(uint16_t port)
{
	return on_loopback(port, true) != 0;
}

::testing::AssertionResult RtmpFixture::launch(std::vector<std::string> args, std::string *reply)
{
	args.insert(args.begin(), {"python3", BL_SOURCE_DIR "/tests/support/rtmp-fixture.py"});
	std::string error;
	if (!fixture_.start_piped(args, &error))
		return ::testing::AssertionFailure() << error;
	*reply = fixture_.read_line(kReplyTimeout).value_or("");
	if (reply->empty() || reply->find("\"error\"") != std::string::npos)
		return ::testing::AssertionFailure() << "the RTMP fixture did not start: " << *reply;
	return ::testing::AssertionSuccess();
}

::testing::AssertionResult RtmpServer::start()
{
	if (fixture_.running()) {
		const std::string reply = command("start");
		return reply == "\"ok\"" ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << reply;
	}
	std::string reply;
	::testing::AssertionResult ok = launch(std::vector<std::string>(tls_, "--tls"), &reply);
	rtmp_port_ = std::atoi(json_field(reply, "rtmp").c_str());
	tls_port_ = std::atoi(json_field(reply, "tls").c_str());
	ca_file_ = json_field(reply, "ca");
	return ok;
}

StreamStat RtmpServer::stream(const std::string &name)
{
	const std::string reply = command("stat " + name);
	return {reply.size() > 2 && reply.front() == '{' && json_field(reply, "error").empty(),
		json_field(reply, "publishing") == "true",
		std::strtoull(json_field(reply, "bytes_in").c_str(), nullptr, 10)};
}

::testing::AssertionResult RtmpServer::wait_publishing(const std::string &name, std::chrono::milliseconds timeout,
						       bool publishing)
{
	StreamStat s;
	if (poll_until([&] { return (s = stream(name)).publishing == publishing; }, timeout))
		return ::testing::AssertionSuccess();
	return ::testing::AssertionFailure()
	       << "stream '" << name << "' " << (publishing ? "never published" : "still published")
	       << "; last seen: " << (s.present ? "present, bytes_in=" + std::to_string(s.bytes_in) : "absent");
}

SilentServer::SilentServer(uint16_t port)
{
	std::string reply;
	if (launch({"silent", std::to_string(port)}, &reply))
		rtmp_port_ = std::atoi(json_field(reply, "port").c_str());
}

AudioArrivals::AudioArrivals(const std::string &url)
{
	// A line per packet as it is read (stdbuf: ffprobe's output is block-buffered in a pipe).
	std::string error;
	EXPECT_TRUE(probe_.start_piped({"stdbuf", "-oL", "ffprobe", "-v", "quiet", "-rw_timeout", "30000000",
					"-select_streams", "a", "-show_entries", "packet=pts", "-of", "csv=p=0", url},
				       &error))
		<< error;
	reader_ = std::thread([this] {
		while (!ending_)
			if (probe_.read_line(std::chrono::milliseconds(100))) {
				std::lock_guard<std::mutex> lock(mutex_);
				times_.push_back(Clock::now());
			}
	});
}

AudioArrivals::~AudioArrivals()
{
	ending_ = true;
	reader_.join();
	probe_.end(std::chrono::milliseconds(0));
}

size_t AudioArrivals::count() const
{
	std::lock_guard<std::mutex> lock(mutex_);
	return times_.size();
}

std::chrono::milliseconds AudioArrivals::longest_gap(Clock::time_point from, Clock::time_point to) const
{
	std::lock_guard<std::mutex> lock(mutex_);
	Clock::duration longest {};
	for (const Clock::time_point t : times_)
		if (t > from && t <= to) {
			longest = std::max(longest, t - from);
			from = t;
		}
	longest = std::max(longest, to - from);
	return std::chrono::duration_cast<std::chrono::milliseconds>(longest);
}

uint16_t start_relay(ChildProcess &relay, uint16_t server_port, int rate, const TempDir &dir)
{
	const uint16_t port = free_loopback_port();
	std::string error;
	EXPECT_TRUE(relay.start({"python3", BL_SOURCE_DIR "/scripts/host/throttle.py", "--port", std::to_string(port),
				 "--target", std::to_string(server_port), "--rate", std::to_string(rate)},
				dir.file("relay.log"), &error))
		<< error;
	EXPECT_TRUE(poll_until([&] { return port_accepts(port); }, std::chrono::seconds(10)))
		<< "the relay did not listen";
	return port;
}

::testing::AssertionResult carries_h264_and_aac(const std::string &url, int width, int height,
						const std::string &avg_frame_rate)
{
	// ffprobe's own network time-out (15 s) below the process's, so that a silent server shows up
	// as ffprobe's error text rather than as a killed process.
	const CommandResult run = run_command({"ffprobe", "-v", "error", "-rw_timeout", "15000000", "-show_entries",
					       "stream=codec_name,width,height,sample_rate,channels,avg_frame_rate",
					       "-of", "csv=p=0", url},
					      std::chrono::seconds(20));
	std::vector<std::string> seen;
	std::istringstream lines(run.output);
	// Not the decoder's complaints ("[h264 @ ...] ..."): a player that joins mid-stream starts on
	// frames that refer to ones it never received.
	for (std::string line; std::getline(lines, line);)
		if (line.rfind('[', 0) != 0)
			seen.push_back(line);
	std::sort(seen.begin(), seen.end());
	// Each line: codec, then width,height or sample_rate,channels, then the frame rate.
	const std::string video = "h264," + std::to_string(width) + "," + std::to_string(height) + "," + avg_frame_rate;
	if (seen == std::vector<std::string> {"aac,48000,2,0/0", video})
		return ::testing::AssertionSuccess();
	return ::testing::AssertionFailure() << "expected " << video << " and aac,48000,2,0/0; ffprobe (exit "
					     << run.exit_code << ") said: " << run.output;
}

} // namespace bltest
