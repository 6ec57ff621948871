#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child-process.hpp"

namespace bltest {

// What the server's status page says about one stream name.
struct StreamStat {
	bool present = false, publishing = false;
	uint64_t bytes_in = 0;
};

// A child of tests/support/rtmp-fixture.py (the Python tests' nginx-rtmp), answering a command a line.
class RtmpFixture {
public:
	~RtmpFixture() { fixture_.end(std::chrono::seconds(5)); }
	// Connections taken while silent (or hung).
	int accepted() { return std::atoi(command("accepted").c_str()); }
	uint16_t rtmp_port() const { return rtmp_port_; }
	std::string rtmp_url() const { return "rtmp://127.0.0.1:" + std::to_string(rtmp_port_) + "/live"; }

protected:
	// Starting nginx (and making certificates for TLS) takes well under a second on loopback.
	static constexpr auto kReplyTimeout = std::chrono::seconds(30);

	::testing::AssertionResult launch(std::vector<std::string> args, std::string *reply);
	std::string command(const std::string &line)
	{
		return fixture_.send_line(line) ? fixture_.read_line(kReplyTimeout).value_or("") : "";
	}

	ChildProcess fixture_;
	uint16_t rtmp_port_ = 0;
};

// A real nginx-rtmp on loopback ("live" relays to players every packet as received); with TLS, a front signed by a CA made
// at start. restart() comes back on the same ports, as a real server after a crash.
class RtmpServer : public RtmpFixture {
public:
	explicit RtmpServer(bool tls = false) : tls_(tls) {}

	// Starts nginx and waits until every port accepts connections.
	::testing::AssertionResult start();
	::testing::AssertionResult restart() { return start(); }
	// Graceful end; kill() is a SIGKILL: the server vanishes as if it crashed.
	void stop() { command("stop"); }
	void kill() { command("kill"); }
	// Kills it and at once listens on its RTMP port, accepting connections and never answering.
	void hang() { command("hang"); }
	bool running() { return command("running") == "true"; }

	std::string rtmps_url() const { return "rtmps://localhost:" + std::to_string(tls_port_) + "/live"; }
	std::string play_url(const std::string &name) const { return rtmp_url() + "/" + name; }
	const std::string &ca_file() const { return ca_file_; }

	StreamStat stream(const std::string &name);
	// Polls the status page until the stream is (or is no longer) publishing. On time-out, the
	// message says what the page said about it the last time.
	::testing::AssertionResult wait_publishing(const std::string &name, std::chrono::milliseconds timeout,
						   bool publishing = true);
	::testing::AssertionResult wait_not_publishing(const std::string &name, std::chrono::milliseconds timeout)
	{
		return wait_publishing(name, timeout, false);
	}

private:
	bool tls_;
	uint16_t tls_port_ = 0;
	std::string ca_file_;
};

// A loopback listener that accepts and never answers: an RTMP handshake that hangs. Port 0 picks
// a free one; a given port (a killed server's) is bound again at once.
class SilentServer : public RtmpFixture {
public:
	explicit SilentServer(uint16_t port = 0);
	bool ok() const { return rtmp_port_ != 0; }
};

// A player on the server: ffprobe reading a stream as it comes, noting when each audio packet
// arrives. What a viewer hears as a gap is a wait between two of them.
class AudioArrivals {
public:
	using Clock = std::chrono::steady_clock;
	explicit AudioArrivals(const std::string &url);
	~AudioArrivals();
	size_t count() const;
	// The longest wait for the next audio packet from `from` on, until `to`.
	std::chrono::milliseconds longest_gap(Clock::time_point from, Clock::time_point to) const;

private:
	ChildProcess probe_;
	std::atomic<bool> ending_ {false};
	mutable std::mutex mutex_;
	std::vector<Clock::time_point> times_;
	std::thread reader_;
};

// A relay to the server's port (scripts/host/throttle.py, a fault injector) at full speed until
// SIGUSR2 slows it to rate bytes a second (0: it stops reading); SIGUSR1 opens it again. Its port.
uint16_t start_relay(ChildProcess &relay, uint16_t server_port, int rate, const TempDir &dir);

uint16_t free_loopback_port();
bool port_accepts(uint16_t port);

// What ffprobe finds at url within 20 s is H.264 of width x height at avg_frame_rate ("30/1") and AAC
// stereo at 48 kHz, and nothing else. On a mismatch the message gives what ffprobe said.
::testing::AssertionResult carries_h264_and_aac(const std::string &url, int width, int height,
						const std::string &avg_frame_rate);

} // namespace bltest
