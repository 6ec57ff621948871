#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "child-process.hpp"

namespace bltest {

// What the server's status page says about one stream name.
struct StreamStat {
	bool present = false;
	bool publishing = false;
	uint64_t bytes_in = 0;
};

// A real nginx-rtmp on loopback ("live" relays to players), the Python tests' fixture too
// (scripts/host/rtmpserver.py, a child answering a command a line); with TLS, a front signed by a
// CA made at start. restart() comes back on the same ports, as a real server after a crash.
class RtmpServer {
public:
	struct Options {
		bool tls = false;
	};
	RtmpServer() = default;
	explicit RtmpServer(Options options) : options_(options) {}
	~RtmpServer() { fixture_.end(std::chrono::seconds(5)); }

	// Starts nginx and waits until every port accepts connections.
	::testing::AssertionResult start();
	// Graceful end; kill() is a SIGKILL: the server vanishes as if it crashed.
	void stop() { command("stop"); }
	void kill() { command("kill"); }
	// Kills it and at once listens on its RTMP port, accepting connections and never answering.
	void hang() { command("hang"); }
	int accepted() { return std::atoi(command("accepted").c_str()); } // connections taken while hung
	::testing::AssertionResult restart() { return start(); }
	bool running() { return command("running") == "true"; }

	uint16_t rtmp_port() const { return rtmp_port_; }
	std::string rtmp_url() const { return "rtmp://127.0.0.1:" + std::to_string(rtmp_port_) + "/live"; }
	std::string rtmps_url() const { return "rtmps://localhost:" + std::to_string(tls_port_) + "/live"; }
	std::string play_url(const std::string &name) const { return rtmp_url() + "/" + name; }
	const std::string &ca_file() const { return ca_file_; }

	StreamStat stream(const std::string &name);
	// Polls the status page until the stream is (or is no longer) publishing. On time-out,
	// last_seen receives what the page said about it the last time.
	bool wait_publishing(const std::string &name, std::chrono::milliseconds timeout,
			     std::string *last_seen = nullptr)
	{
		return wait(name, true, timeout, last_seen);
	}
	bool wait_not_publishing(const std::string &name, std::chrono::milliseconds timeout,
				 std::string *last_seen = nullptr)
	{
		return wait(name, false, timeout, last_seen);
	}

private:
	std::string command(const std::string &line);
	bool wait(const std::string &name, bool publishing, std::chrono::milliseconds timeout, std::string *last_seen);

	Options options_;
	ChildProcess fixture_;
	uint16_t rtmp_port_ = 0;
	uint16_t tls_port_ = 0;
	std::string ca_file_;
};

// A loopback listener that accepts and never answers: an RTMP handshake that hangs. Port 0 picks
// a free one; a given port (a killed server's) is bound again at once.
class SilentServer {
public:
	explicit SilentServer(uint16_t port = 0);
	~SilentServer() { fixture_.end(std::chrono::seconds(2)); }
	bool ok() const { return port_ != 0; }
	uint16_t port() const { return port_; }
	int accepted(); // connections accepted so far
	std::string rtmp_url() const { return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live"; }

private:
	ChildProcess fixture_;
	uint16_t port_ = 0;
};

uint16_t free_loopback_port();
bool port_accepts(uint16_t port);

} // namespace bltest
