#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "child-process.hpp"

namespace bltest {

// What the server's status page says about one stream name.
struct StreamStat {
	bool present = false;
	bool publishing = false;
	uint64_t bytes_in = 0;
	int width = 0;
	int height = 0;
	std::string video_codec;
	std::string audio_codec;
};

// A real nginx with its RTMP module on loopback, in a folder of its own (configuration, pid,
// logs, temporary paths), as one process (no daemon, no master). Application "live" relays what
// is published to players; an HTTP port serves the module's XML status page at /stat. With TLS
// on, nginx's stream module also terminates TLS on a port of its own in front of the RTMP port,
// with a CA and a server certificate (for "localhost" and 127.0.0.1) made at start.
//
// The ports are chosen at the first start and kept: restart() comes back on the same ones, as a
// real server does after a crash. The destructor kills the server and removes its folder.
class RtmpServer {
public:
	struct Options {
		bool tls = false;
	};

	RtmpServer();
	explicit RtmpServer(Options options);
	RtmpServer(const RtmpServer &) = delete;
	RtmpServer &operator=(const RtmpServer &) = delete;
	~RtmpServer();

	// Starts nginx and waits until every port accepts connections.
	::testing::AssertionResult start();
	// Graceful end (SIGTERM, then SIGKILL if it lingers).
	void stop();
	// SIGKILL: the server vanishes as if it crashed; its clients' connections are reset.
	void kill();
	// Starts again on the same ports.
	::testing::AssertionResult restart() { return start(); }
	bool running();

	uint16_t rtmp_port() const { return rtmp_port_; }
	uint16_t http_port() const { return http_port_; }
	uint16_t tls_port() const { return tls_port_; }

	// "rtmp://127.0.0.1:PORT/live", the server part of a publish target (no key).
	std::string rtmp_url() const;
	// "rtmps://localhost:PORT/live" through the TLS front.
	std::string rtmps_url() const;
	// Where a player reads a stream that was published under name.
	std::string play_url(const std::string &name) const { return rtmp_url() + "/" + name; }
	// PEM file of the CA that signed the TLS front's certificate.
	std::string ca_file() const;

	// The status page as nginx serves it; empty when it cannot be read.
	std::string stat_xml() const;
	StreamStat stream(const std::string &name) const;

	// Polls the status page until the stream is (or is no longer) publishing. On time-out,
	// last_seen receives what the page said about it the last time.
	bool wait_publishing(const std::string &name, std::chrono::milliseconds timeout,
			     std::string *last_seen = nullptr);
	bool wait_not_publishing(const std::string &name, std::chrono::milliseconds timeout,
				 std::string *last_seen = nullptr);

	std::string error_log() const;

private:
	::testing::AssertionResult prepare();
	::testing::AssertionResult make_certificates();
	void write_config();

	Options options_;
	std::unique_ptr<TempDir> dir_;
	ChildProcess process_;
	bool prepared_ = false;
	uint16_t rtmp_port_ = 0;
	uint16_t http_port_ = 0;
	uint16_t tls_port_ = 0;
};

// A loopback TCP listener that accepts connections and then never reads or writes: the
// server that hangs an RTMP handshake forever. Connections are held open until destruction.
class SilentServer {
public:
	// Port 0 picks a free one; a given port is bound again at once (SO_REUSEADDR), for
	// example the port of a server that was just killed.
	explicit SilentServer(uint16_t port = 0);
	SilentServer(const SilentServer &) = delete;
	SilentServer &operator=(const SilentServer &) = delete;
	~SilentServer();

	bool ok() const { return listen_fd_ >= 0; }
	uint16_t port() const { return port_; }
	// How many connections it has accepted so far.
	int accepted() const;
	std::string rtmp_url() const;

private:
	struct State;
	std::unique_ptr<State> state_;
	int listen_fd_ = -1;
	uint16_t port_ = 0;
};

// A loopback TCP port on which nothing listens right now.
uint16_t free_loopback_port();
// True when something accepts a TCP connection on 127.0.0.1:port.
bool port_accepts(uint16_t port);

// Publishes a test picture and tone with the ffmpeg command-line tool until destroyed.
class CliPublisher {
public:
	bool start(const std::string &url, int width, int height, int fps, std::string *error);
	void stop() { process_.kill_and_wait(); }
	bool running() { return process_.running(); }
	std::optional<int> wait_exit(std::chrono::milliseconds timeout) { return process_.wait_exit(timeout); }
	std::string output() const;

private:
	std::unique_ptr<TempDir> dir_;
	ChildProcess process_;
};

} // namespace bltest
