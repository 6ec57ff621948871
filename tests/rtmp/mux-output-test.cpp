// The output type "bl_vertical_mux_rtmp" with the host's real encoders against a real nginx:
// what arrives at the server, the stop codes and last errors, reconnecting after the server died
// (after 1 s, then 2 s, and 1 s again after a success) or the link stalled, connects that never
// stall the host's audio and end at once on stop, also in a host-name lookup that hangs, RTMPS and
// the protocol whitelist, and a link slower than the stream or stalled, where the viewer's sound
// never waits for the video.

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <netinet/in.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host-fixture.hpp"
#include "mux-rig.hpp"
#include "mux/mux-output.hpp"
#include "rtmp-server.hpp"

BL_HOST_ENVIRONMENT();

using namespace std::chrono_literals;
using namespace bltest;
using brasslight::MuxState;
using Codes = std::vector<long long>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kConnectTimeout = 15s;
const std::string kRejected = "Stream rejected — check server URL and stream key";

::testing::AssertionResult within(Clock::duration d, std::chrono::milliseconds lo, std::chrono::milliseconds hi)
{
	return (d > lo && d < hi ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
	       << std::chrono::duration_cast<std::chrono::milliseconds>(d).count() << " ms";
}

Codes start_and_wait_for_failure(MuxRig &rig)
{
	EXPECT_TRUE(rig.start()) << rig.last_error();
	EXPECT_TRUE(rig.wait_stop_signals(1, kConnectTimeout)) << "no stop signal";
	EXPECT_TRUE(rig.wait_inactive(kConnectTimeout));
	return rig.stop_codes();
}

// A player waiting before the stream starts records all the server relays of it, from its first
// packet (-copyinkf: ffmpeg would drop video before the first keyframe); SIGINT ends it.
void start_recorder(ChildProcess &recorder, const std::string &url, const std::string &file)
{
	std::string error;
	EXPECT_TRUE(recorder.start(
		{"ffmpeg", "-nostdin", "-v", "error", "-i", url, "-c", "copy", "-copyinkf", "-f", "flv", file},
		file + ".log", &error))
		<< error;
}

// What ffmpeg reports decoding a recording of 100 kB or more: nothing when a player can show all of it.
std::string decode_errors(ChildProcess &recorder, const std::string &file)
{
	std::error_code missing;
	if (!poll_until([&] { return std::filesystem::file_size(file, missing) >= 100000 && !missing; }, 20s))
		return "under 100 kB recorded";
	recorder.signal(SIGINT);
	if (!recorder.wait_exit(10s))
		return "the recorder did not end";
	const CommandResult run =
		run_command({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-f", "null", "-"}, 60s);
	return run.exit_code == 0 ? run.output : "exit code " + std::to_string(run.exit_code) + ": " + run.output;
}

// A fake DNS server on 127.0.0.1:53 of the test's own network namespace: it counts the queries and
// leaves them unanswered, a resolver that hangs, until told to answer; then every query, those
// waiting too, gets "no such name".
class FakeDns {
public:
	FakeDns()
	{
		sockaddr_in address = {};
		address.sin_family = AF_INET;
		address.sin_port = htons(53);
		address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		ok_ = bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
		if (ok_)
			server_ = std::thread([this] { serve(); });
	}
	~FakeDns()
	{
		done_ = true;
		if (server_.joinable())
			server_.join();
		close(fd_);
	}
	bool ok() const { return ok_; }
	int queries() const { return queries_; }
	void answer(bool on) { answering_ = on; }

private:
	void serve()
	{
		std::vector<std::pair<sockaddr_in, std::string>> waiting;
		while (!done_) {
			pollfd p = {fd_, POLLIN, 0};
			char query[512];
			sockaddr_in from = {};
			socklen_t size = sizeof(from);
			const ssize_t n = poll(&p, 1, 20) > 0 ? recvfrom(fd_, query, sizeof(query), 0,
									 reinterpret_cast<sockaddr *>(&from), &size)
							      : 0;
			if (n >= 12) {
				++queries_;
				waiting.emplace_back(from, std::string(query, static_cast<size_t>(n)));
			}
			for (auto it = waiting.begin(); answering_ && it != waiting.end(); it = waiting.erase(it)) {
				std::string &reply = it->second; // the query, marked a response, code NXDOMAIN
				reply[2] = static_cast<char>(reply[2] | 0x80);
				reply[3] = static_cast<char>((reply[3] & 0xf0) | 3);
				sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&it->first),
				       sizeof(it->first));
			}
		}
	}

	const int fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	bool ok_ = false;
	std::atomic<bool> done_ {false}, answering_ {false};
	std::atomic<int> queries_ {0};
	std::thread server_;
};

class MuxOutputTest : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		if (!obs_get_output_flags("bl_vertical_mux_rtmp"))
			brasslight::register_mux_output_type();
	}

	// Every line is on stderr too, where CTest shows it on a failure.
	LogCapture &log = LogCapture::get();
	size_t from = log.mark();
};

TEST_F(MuxOutputTest, StreamsOverRtmpAndRtmpsOnlyAndStopsWithAnErrorWhenTheTargetFails)
{
	RtmpServer server(true);
	ASSERT_TRUE(server.start());
	const std::string key = "vertical-7f3a9c";
	MuxRig rig;
	setenv("SSL_CERT_FILE", server.ca_file().c_str(), 1);
	for (const std::string &url : {server.rtmp_url(), server.rtmps_url()}) {
		SCOPED_TRACE(url);
		// The controller's settings as a user might type them: a trailing slash, blanks around.
		rig.set_target(url + "/", " " + key + "\n");
		ASSERT_TRUE(rig.start()) << rig.last_error();
		ASSERT_TRUE(server.wait_publishing(key, kConnectTimeout));
		if (url == server.rtmp_url()) { // the view's size, not the host's main mix (640x360)
			EXPECT_TRUE(carries_h264_and_aac(server.play_url(key), 360, 640, "30/1"));
		}
		rig.stop();
		EXPECT_EQ(rig.stop_codes(), Codes {OBS_OUTPUT_SUCCESS});
		EXPECT_TRUE(server.wait_not_publishing(key, 5s)) << "the connection outlived stop";
	}
	EXPECT_FALSE(log.contains("av_write_frame", from));
	EXPECT_TRUE(log.contains("mux opened: ", from)) << "what the failures below must not log";
	// From here on the system's trust store does not know the test CA: an impostor for TLS.
	unsetenv("SSL_CERT_FILE");

	// Refused at start when the server or the key is empty after trimming.
	for (const auto &[server, key] :
	     {std::pair {"", "k"}, {"rtmp://127.0.0.1/live", ""}, {" \t\r\n", "k"}, {"rtmp://127.0.0.1/live", "\n "}}) {
		rig.set_target(server, key);
		EXPECT_FALSE(rig.start()) << "server '" << server << "' key '" << key << "'";
		EXPECT_EQ(rig.last_error(), "Missing RTMP server/key") << "server '" << server << "' key '" << key;
		EXPECT_TRUE(rig.stop_codes().empty());
	}
	TempDir dir("bl-whitelist");
	SilentServer listener;
	ASSERT_TRUE(listener.ok());
	const std::pair<std::string, std::string> rows[] = {
		{"rtmp://127.0.0.1:" + std::to_string(free_loopback_port()) + "/live",
		 "avio_open2 failed: Connection refused (code -111)"},
		{server.rtmps_url(), "avio_open2 failed: "},
		// Each row starts the same output again after its failure. Only streaming protocols open.
		{"file:" + dir.path(), "avio_open2 failed: "},
		{dir.path(), "avio_open2 failed: "},
		{"pipe:", "avio_open2 failed: "},
		{"http://127.0.0.1:" + std::to_string(listener.rtmp_port()) + "/live", "avio_open2 failed: "},
	};
	for (const auto &[server, line] : rows) {
		SCOPED_TRACE("row " + server);
		rig.set_target(server, key);
		from = log.mark();
		EXPECT_EQ(start_and_wait_for_failure(rig), Codes {OBS_OUTPUT_ERROR}) << "exactly one stop, an error";
		EXPECT_EQ(rig.last_error(), kRejected);
		EXPECT_TRUE(log.contains(line, from));
		EXPECT_TRUE(log.contains("open_muxer fatal — stopping output", from));
		EXPECT_FALSE(log.contains("mux opened", from));
	}
	EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "something was written into " << dir.path();
	EXPECT_EQ(listener.accepted(), 0) << "a non-RTMP protocol connected";
	// The stream key is a secret: no line of the host's log may contain it.
	for (const std::string &line : log.since(0))
		ASSERT_EQ(line.find(key), std::string::npos) << "the stream key was logged: " << line;
}

TEST_F(MuxOutputTest, ReconnectsOnItsOwnAfterTheServerDiesAndComesBack)
{
	RtmpServer server;
	ASSERT_TRUE(server.start());
	std::atomic<int> reconnects {0}, successes {0};
	MuxRig rig;
	for (auto [name, n] : {std::pair {"reconnect", &reconnects}, {"reconnect_success", &successes}})
		signal_handler_connect(
			obs_output_get_signal_handler(rig.output()), name,
			[](void *n, calldata_t *) { ++*static_cast<std::atomic<int> *>(n); }, n);
	// No module line is written with the record's lock held: the host's encoder threads wait for
	// that lock, and would wait for the log's I/O too. A probe thread tries the lock meanwhile.
	std::atomic<int> under_lock {0};
	brasslight::MuxOutputData &record = rig.record();
	auto watching_lock = log.observe([&](const std::string &line) {
		if (line.rfind("[brasslight-obs-vertical] ", 0) != 0)
			return;
		std::thread probe([&] {
			const auto free = [&] {
				return record.mutex.try_lock() ? (record.mutex.unlock(), true) : false;
			};
			if (!poll_until(free, 50ms, [] { std::this_thread::sleep_for(1ms); }))
				++under_lock;
		});
		probe.join();
	});
	rig.set_target(server.rtmp_url(), "first");
	ASSERT_TRUE(rig.start()) << rig.last_error();
	ASSERT_TRUE(server.wait_publishing("first", kConnectTimeout));
	// A new target does not touch the running connection; the next open uses it.
	rig.set_target(server.rtmp_url(), "second");
	EXPECT_TRUE(server.stream("first").publishing);
	{
		// Whoever reads the line finds the state and the last error that go with it.
		std::vector<std::string> at_line;
		const auto observing = log.observe([&](const std::string &line) {
			if (line.find("entering reconnect mode: ") != std::string::npos)
				at_line.push_back(
					rig.last_error() +
					(brasslight::mux_output_status(rig.output()).state == MuxState::Reconnecting
						 ? " (reconnecting)"
						 : " (not reconnecting)"));
		});
		server.kill();
		ASSERT_TRUE(poll_until([&] { return log.contains("entering reconnect mode: ", from); }, 10s));
		EXPECT_EQ(at_line, std::vector<std::string> {"RTMP disconnected, reconnecting... (reconnecting)"});
	}
	// Which write failed, and the host's error code.
	const std::regex reason("entering reconnect mode: (video|audio) write failed \\(.+, code=-[0-9]+\\)");
	for (const std::string &line : module_lines(from))
		EXPECT_TRUE(line.rfind("entering reconnect mode: ", 0) != 0 || std::regex_match(line, reason)) << line;
	ASSERT_TRUE(poll_until([&] { return log.count("reconnect failed, will retry", from) >= 2; }, 20s));
	// The delay grows by a second per failed attempt (1 s, then 2 s, counted from the failure);
	// an attempt then waits for the next keyframe (one a second here).
	const auto enter = log.times("entering reconnect mode: ", from);
	const auto attempts = log.times("attempting reconnect on keyframe", from);
	const auto failures = log.times("reconnect failed, will retry", from);
	ASSERT_GE(attempts.size(), 2u);
	EXPECT_TRUE(within(attempts[0] - enter[0], 950ms, 2500ms));
	EXPECT_TRUE(within(attempts[1] - failures[0], 1950ms, 3500ms));
	EXPECT_TRUE(rig.stop_codes().empty()) << "reconnect mode must not stop the output";

	// The server comes back. A player waits for the stream before the attempts can reach it (they
	// go to a closed port until then): what the server relays from the first packet on decodes,
	// so the first video frame after a reconnect is a keyframe.
	rig.set_target("rtmp://127.0.0.1:" + std::to_string(free_loopback_port()) + "/live", "second");
	ASSERT_TRUE(server.restart());
	TempDir dir("bl-reconnect");
	ChildProcess recorder;
	start_recorder(recorder, server.play_url("second"), dir.file("second.flv"));
	ASSERT_TRUE(poll_until([&] { return server.stream("second").present; }, 10s)) << "the player never waited";
	from = log.mark();
	rig.set_target(server.rtmp_url(), "second");
	ASSERT_TRUE(poll_until([&] { return log.contains("reconnect succeeded", from); }, 15s));
	ASSERT_TRUE(server.wait_publishing("second", kConnectTimeout));
	EXPECT_FALSE(server.stream("first").present);
	// Streaming again from the first packet written: the next keyframe.
	EXPECT_TRUE(poll_until([&] { return brasslight::mux_output_status(rig.output()).state == MuxState::Streaming; },
			       5s));
	EXPECT_EQ(reconnects.load(), 1);
	EXPECT_EQ(successes.load(), 1);
	// Seconds of frames were lost while reconnecting: the host's statistics count them as dropped.
	EXPECT_GT(obs_output_get_frames_dropped(rig.output()), 60);
	EXPECT_LT(brasslight::mux_output_status(rig.output()).dropped_share(), 1.0);
	EXPECT_TRUE(carries_h264_and_aac(server.play_url("second"), 360, 640, "30/1"));
	EXPECT_EQ(decode_errors(recorder, dir.file("second.flv")), "");

	// Down again, and now the port accepts TCP but never answers. A success reset the delay: the
	// first attempt comes after 1 s again. The host's audio goes on while the attempt hangs, and a
	// stop ends the attempt and reconnect mode for good.
	from = log.mark();
	server.hang();
	{
		AudioTicks ticks;
		ASSERT_TRUE(poll_until([&] { return server.accepted() >= 1; }, 10s));
		const auto again = log.times("attempting reconnect on keyframe", from);
		ASSERT_FALSE(again.empty());
		EXPECT_TRUE(within(again[0] - log.times("entering reconnect mode: ", from).at(0), 950ms, 2500ms));
		// About a second of audio, all of it while the attempt is still hanging.
		EXPECT_TRUE(ticks.wait_more(40, 5s)) << "the host's audio stopped";
		EXPECT_FALSE(log.contains("reconnect failed", from)) << "the audio waited for the attempt to end";
		const auto stopping = Clock::now();
		rig.stop();
		EXPECT_LT(Clock::now() - stopping, 3s) << "stop waited for the attempt's socket time-out";
	}
	EXPECT_EQ(rig.stop_codes(), Codes {OBS_OUTPUT_SUCCESS});
	const size_t after_stop = log.mark();
	ASSERT_TRUE(server.restart());
	EXPECT_FALSE(server.wait_publishing("second", 2500ms)) << "a stopped output reconnected";
	// The next start connects at once: no reconnect state is left.
	ASSERT_TRUE(rig.start()) << rig.last_error();
	EXPECT_TRUE(server.wait_publishing("second", kConnectTimeout));
	EXPECT_EQ(log.count("reconnect", after_stop), 0u);
	watching_lock.reset();
	EXPECT_EQ(under_lock.load(), 0) << "lines logged with the record's lock held";
}

TEST_F(MuxOutputTest, AHangingConnectNeverStallsTheHostAndEndsAtOnceOnStopOrRelease)
{
	SilentServer silent;
	ASSERT_TRUE(silent.ok());
	{
		MuxRig rig;
		rig.set_target(silent.rtmp_url(), "silent-key");
		AudioTicks ticks;
		const auto started = Clock::now();
		EXPECT_EQ(start_and_wait_for_failure(rig), Codes {OBS_OUTPUT_ERROR});
		const auto connect_took = Clock::now() - started;
		EXPECT_TRUE(ticks.wait_more(10, 5s)) << "the host's audio stopped after the failed open";
		const int reached = silent.accepted();
		EXPECT_GE(reached, 1) << "the connection never reached the server";
		EXPECT_EQ(rig.last_error(), kRejected);
		EXPECT_TRUE(log.contains("avio_open2 failed: ", from));
		// The hanging handshake ends on its own deadline: the socket's 2 s, the open's 3 s at most.
		EXPECT_TRUE(within(connect_took, 1500ms, 4500ms));
		// The connect held no host thread: the audio thread's pauses stay a small part of it.
		EXPECT_LT(std::chrono::nanoseconds(ticks.longest.load()), connect_took / 4);

		// Stopped while connecting: the stop does not wait for the handshake's 2 s time-out.
		ASSERT_TRUE(rig.start()) << rig.last_error();
		ASSERT_TRUE(poll_until([&] { return silent.accepted() > reached; }, kConnectTimeout));
		const auto stopping = Clock::now();
		rig.stop();
		EXPECT_LT(Clock::now() - stopping, 1500ms);
		EXPECT_EQ(rig.stop_codes(), Codes {OBS_OUTPUT_SUCCESS});
		// A forced stop of the stopped output still ends the capture: the host waits for that at
		// the next start and at release.
		obs_output_force_stop(rig.output());
		const bool ended = rig.wait_stop_signals(2, 5s);
		if (!ended)
			obs_output_end_data_capture(rig.output()); // or the start below would wait for ever
		EXPECT_TRUE(ended) << "the stop left the host waiting";
		// Started again and released while connecting: the host stops and destroys the output.
		from = log.mark();
		ASSERT_TRUE(rig.start()) << rig.last_error();
		ASSERT_TRUE(poll_until([&] { return silent.accepted() > reached + 1; }, kConnectTimeout));
	}
	EXPECT_FALSE(log.contains("open_muxer fatal", from));
	EXPECT_FALSE(log.contains("mux opened", from));
	// A connect that the stop cut short is no failure of the server's.
	EXPECT_FALSE(log.contains("avio_open2 failed", from));
}

TEST_F(MuxOutputTest, AnEncoderFailureIsReportedEvenWhenIdleAndEndsTheConnection)
{
	MuxRig rig;
	brasslight::mux_output_info().encoded_packet(&rig.record(), nullptr);
	EXPECT_TRUE(rig.wait_stop_signals(1, 5s));
	EXPECT_EQ(rig.stop_codes(), Codes {OBS_OUTPUT_ENCODE_ERROR});
	// While streaming: the server must not keep a publisher that sends nothing.
	RtmpServer server;
	ASSERT_TRUE(server.start());
	rig.set_target(server.rtmp_url(), "encoder");
	ASSERT_TRUE(rig.start()) << rig.last_error();
	ASSERT_TRUE(server.wait_publishing("encoder", kConnectTimeout));
	brasslight::mux_output_info().encoded_packet(&rig.record(), nullptr);
	EXPECT_TRUE(rig.wait_stop_signals(1, 5s));
	EXPECT_EQ(rig.stop_codes(), Codes {OBS_OUTPUT_ENCODE_ERROR});
	EXPECT_TRUE(server.wait_not_publishing("encoder", 5s)) << "the connection outlived the encoder";
}

// Packets made by hand: from encoders without header data yet, before the first keyframe, ten
// seconds of them on a stalled link, and one that the muxer rejects. Through a relay that can stall.
TEST_F(MuxOutputTest, ConnectsOnceTheEncodersHaveHeadersWritesFromAKeyframeOnAndReconnectsWhenTheQueueIsFull)
{
	RtmpServer server;
	ASSERT_TRUE(server.start());
	TempDir dir("bl-stall");
	ChildProcess relay;
	const uint16_t relay_port = start_relay(relay, server.rtmp_port(), 0, dir);
	MuxRig rig;
	rig.set_target("rtmp://127.0.0.1:" + std::to_string(relay_port) + "/live", "keyframe");
	brasslight::MuxOutputData &record = rig.record();
	// Connected or not, packets written, and the last video and audio dts written (ms).
	const auto sent = [&] {
		std::lock_guard<std::mutex> lock(record.mutex);
		return std::string(record.fmt_ctx ? "open " : "none ") + std::to_string(record.packets_written.load()) +
		       " " + std::to_string(record.last_video_dts) + " " + std::to_string(record.last_audio_dts);
	};
	const auto reaches = [&](const std::string &expected) {
		return poll_until([&] { return sent() == expected; }, kConnectTimeout) ? expected : sent();
	};
	const auto deliver = [&record](obs_encoder_type type, int64_t ts, bool keyframe = false, bool no_dts = false,
				       size_t size = 0) {
		encoder_packet p = host_packet(type, ts, type == OBS_ENCODER_VIDEO ? 30 : 48000, keyframe, size);
		if (no_dts)
			p.dts = INT64_MIN;
		brasslight::mux_output_info().encoded_packet(&record, &p);
		obs_encoder_packet_release(&p);
	};
	// Running as after start, but with encoders that were never initialised: no header data.
	{
		std::lock_guard<std::mutex> lock(record.mutex);
		brasslight::set_phase(record, brasslight::RunPhase::Opening);
	}
	const auto state = [&] {
		return brasslight::mux_output_status(rig.output()).state;
	};
	brasslight::launch_sender(record);
	deliver(OBS_ENCODER_VIDEO, 0, true);
	deliver(OBS_ENCODER_AUDIO, 0);
	const std::string none = " " + std::to_string(INT64_MIN) + " " + std::to_string(INT64_MIN);
	EXPECT_FALSE(poll_until([&] { return sent() != "none 0" + none; }, 1s))
		<< "connected without headers: " << sent();
	EXPECT_TRUE(module_lines(from).empty()) << "waiting for headers is not silent";

	// With headers, the next packet (audio may come first) starts the connect; packets are
	// dropped until it is up and then until a video keyframe.
	ASSERT_TRUE(obs_output_initialize_encoders(rig.output(), OBS_OUTPUT_VIDEO | OBS_OUTPUT_AUDIO));
	deliver(OBS_ENCODER_AUDIO, 1024);
	ASSERT_EQ(reaches("open 0" + none), "open 0" + none);
	// Connected, but nothing has reached the server yet (seen: "streaming" with no byte sent).
	EXPECT_EQ(state(), MuxState::Connecting);
	deliver(OBS_ENCODER_VIDEO, 2);
	deliver(OBS_ENCODER_AUDIO, 2048);
	// From the keyframe on, everything is written, in the host's order (by dts); the dts are the
	// packets' own in ms, to the nearest (166.7 and 128.5).
	deliver(OBS_ENCODER_VIDEO, 3, true);
	deliver(OBS_ENCODER_AUDIO, 6168);
	deliver(OBS_ENCODER_VIDEO, 5);
	EXPECT_EQ(reaches("open 3 167 129"), "open 3 167 129");
	EXPECT_EQ(state(), MuxState::Streaming);
	EXPECT_TRUE(server.wait_publishing("keyframe", kConnectTimeout));

	// A link that cannot carry even the sound: the relay stops reading. Keyframes of 256 kB with
	// their audio fill the sockets' buffers until a write waits. Then ten seconds of audio, or of
	// a keyframe a second, fill the queue to its cap; the write gives up at once, not after the
	// socket's own 10 s time-out, and the output reconnects once the link is back. By hand: the
	// host's encoders would take the ten seconds in real time, racing that time-out.
	int64_t frame = 6; // video ts in 1/30 s; audio ts in 1/48000 s, 1600 a frame
	const auto deliver_frame = [&](size_t size) {
		deliver(OBS_ENCODER_AUDIO, frame * 1600);
		deliver(OBS_ENCODER_VIDEO, frame++, true, false, size);
		std::this_thread::sleep_for(20ms);
	};
	const auto queued = [&] {
		std::lock_guard<std::mutex> lock(record.mutex);
		return record.queue.size();
	};
	for (const obs_encoder_type filler : {OBS_ENCODER_AUDIO, OBS_ENCODER_VIDEO}) {
		SCOPED_TRACE(filler == OBS_ENCODER_AUDIO ? "audio fills the queue" : "video fills the queue");
		relay.signal(SIGUSR2);
		from = log.mark();
		ASSERT_TRUE(poll_until([&] { return queued() > 2; }, 20s, [&] { deliver_frame(256 * 1024); }))
			<< "no write waited for the link";
		const int64_t stalled = frame;
		for (frame = stalled + 1; frame <= stalled + 330; ++frame)
			if (filler == OBS_ENCODER_AUDIO)
				deliver(OBS_ENCODER_AUDIO, frame * 1600);
			else if ((frame - stalled) % 30 == 0)
				deliver(OBS_ENCODER_VIDEO, frame, true);
		ASSERT_TRUE(poll_until(
			[&] {
				return log.contains("entering reconnect mode: send queue full (Connection timed out",
						    from);
			},
			5s));
		EXPECT_EQ(brasslight::mux_output_status(rig.output()).state, MuxState::Reconnecting);
		EXPECT_EQ(rig.last_error(), "RTMP disconnected, reconnecting...");
		relay.signal(SIGUSR1);
		ASSERT_TRUE(poll_until([&] { return log.contains("reconnect succeeded", from); }, 20s,
				       [&] { deliver_frame(0); }));
	}
	EXPECT_TRUE(rig.stop_codes().empty());

	// A write that fails for a fault of the stream (here no dts, and a pts behind the last dts:
	// the muxer rejects it), not of the link: one stop for the run, whatever follows, and the
	// connection closes at once.
	deliver_frame(0);
	deliver(OBS_ENCODER_VIDEO, frame - 5, false, true);
	for (int n = 0; n < 4; ++n)
		deliver(OBS_ENCODER_VIDEO, ++frame);
	EXPECT_TRUE(rig.wait_stop_signals(1, 5s));
	EXPECT_TRUE(server.wait_not_publishing("keyframe", 5s));
	EXPECT_EQ(rig.stop_codes(), Codes {OBS_OUTPUT_ERROR});
	EXPECT_EQ(rig.last_error(), "av_write_frame(video) failed");
	EXPECT_TRUE(log.contains("av_write_frame(video) failed: Invalid argument", from));
	brasslight::halt_sender(record);
}

// A vertical uplink slower than the stream, through throttling TCP relays (scripts/host/throttle.py,
// a fault injector): the output drops video, never the host's time nor the viewer's sound, and
// says what state it is in.
TEST_F(MuxOutputTest, ASlowLinkCostsTheVerticalStreamFramesAndNeverTheHostsTime)
{
	RtmpServer server;
	ASSERT_TRUE(server.start());
	TempDir dir("bl-congestion");
	ChildProcess relay, stall, recorder;
	// A quarter of the vertical stream: 1200 kbit/s of video and 160 of audio, in bytes per second;
	// in front of it a link that stalls.
	const uint16_t relay_port = start_relay(relay, server.rtmp_port(), (1200 + 160) * 1000 / 8 / 4, dir);
	const uint16_t stall_port = start_relay(stall, relay_port, 0, dir);
	start_recorder(recorder, server.play_url("vertical"), dir.file("vertical.flv"));
	AudioArrivals player(server.play_url("vertical"));

	MuxRig vertical(RigOptions {1200}), main;
	vertical.set_target("rtmp://127.0.0.1:" + std::to_string(stall_port) + "/live", "vertical");
	main.set_target(server.rtmp_url(), "main");
	obs_output_t *output = vertical.output();
	auto status = [&] {
		return brasslight::mux_output_status(output);
	};
	brasslight::MuxOutputData &record = vertical.record();
	int64_t longest_queue_us = 0;
	int paused = 0, calm_while_paused = 0;
	// The main output's rate over a window, watching the vertical queue meanwhile.
	auto main_kbps = [&](std::chrono::seconds window) {
		const uint64_t from = server.stream("main").bytes_in;
		for (const auto end = Clock::now() + window; Clock::now() < end; std::this_thread::sleep_for(50ms)) {
			std::lock_guard<std::mutex> lock(record.mutex);
			longest_queue_us = std::max(longest_queue_us, record.queue.span_us());
			if (record.queue.waiting_for_keyframe()) {
				++paused;
				calm_while_paused += obs_output_get_congestion(output) < 1.0f;
			}
		}
		return double(server.stream("main").bytes_in - from) * 8 / 1000 / double(window.count());
	};

	ASSERT_TRUE(main.start());
	ASSERT_TRUE(vertical.start());
	EXPECT_EQ(status().state, MuxState::Connecting);
	ASSERT_TRUE(poll_until([&] { return status().state == MuxState::Streaming; }, 15s));
	ASSERT_TRUE(server.wait_publishing("main", 15s));
	const double main_open = main_kbps(3s);

	AudioTicks pauses;
	relay.signal(SIGUSR2);
	from = log.mark();
	// The kernel's send buffer (a few hundred kB) fills first.
	ASSERT_TRUE(poll_until([&] { return status().frames_dropped > 0; }, 40s))
		<< "nothing dropped at a quarter link";
	pauses.longest = 0;
	const double main_congested = main_kbps(5s);
	EXPECT_GE(main_congested, 0.85 * main_open) << "open " << main_open << " kbit/s";
	// While video waits for a keyframe the server gets no picture, however short the queue.
	EXPECT_GT(paused, 0);
	EXPECT_EQ(calm_while_paused, 0);
	EXPECT_LT(pauses.longest.load(), std::chrono::nanoseconds(200ms).count())
		<< "the audio thread waited for the link";
	// Short of the 10 s past which the link counts as lost (the thresholds: mux-helpers-test).
	EXPECT_LE(longest_queue_us, 10000000);
	EXPECT_EQ(status().state, MuxState::Streaming);
	EXPECT_LT(status().dropped_share(), 1.0);
	EXPECT_FALSE(log.contains("entering reconnect mode", from));
	// The host sees the same health through the output's callbacks.
	EXPECT_GT(obs_output_get_frames_dropped(output), 0);
	EXPECT_TRUE(poll_until([&] { return obs_output_get_congestion(output) > 0.0f; }, 5s));
	EXPECT_LE(obs_output_get_congestion(output), 1.0f);
	EXPECT_GT(obs_output_get_total_bytes(output), 100000u);
	EXPECT_GT(obs_output_get_connect_time_ms(output), 0);

	// Full speed again: once the queue has drained and video resumed, nothing more is dropped.
	relay.signal(SIGUSR1);
	ASSERT_TRUE(poll_until(
		[&] {
			std::lock_guard<std::mutex> lock(record.mutex);
			return record.queue.span_us() < 100000 && !record.queue.waiting_for_keyframe();
		},
		10s));
	const uint64_t dropped = status().frames_dropped;
	EXPECT_FALSE(poll_until([&] { return status().frames_dropped != dropped; }, 3s))
		<< "still dropping at full speed";
	EXPECT_EQ(status().state, MuxState::Streaming);

	// What reached the server decodes without a single error.
	EXPECT_EQ(decode_errors(recorder, dir.file("vertical.flv")), "");

	// The link stalls: the policy drops the queued video, each keyframe in turn. Back on just after
	// it dropped one, when the next is a keyframe interval away, the queued sound reaches the player
	// at once.
	stall.signal(SIGUSR2);
	const auto says_paused = [&](bool yes) {
		return poll_until([&] { return status().video_paused == yes; }, 30s,
				  [] { std::this_thread::sleep_for(1ms); });
	};
	ASSERT_TRUE(says_paused(true) && says_paused(false) && says_paused(true));
	stall.signal(SIGUSR1);
	const auto resumed = Clock::now();
	std::this_thread::sleep_for(3s);
	EXPECT_GT(player.count(), 0u);
	EXPECT_LT(player.longest_gap(resumed, Clock::now()).count(), 400) << "ms without sound at the player";

	// A stop on a congested link is bounded: what is queued is dropped.
	relay.signal(SIGUSR2);
	EXPECT_TRUE(poll_until([&] { return status().frames_dropped > dropped; }, 40s));
	const auto stopping = Clock::now();
	vertical.stop();
	EXPECT_LT(Clock::now() - stopping, 3s);
	EXPECT_EQ(status().state, MuxState::Stopped);
	// The next run counts its own drops: none at full speed.
	relay.signal(SIGUSR1);
	ASSERT_TRUE(vertical.start());
	ASSERT_TRUE(poll_until([&] { return status().frames_total > 30; }, 15s));
	EXPECT_EQ(status().frames_dropped, 0u);
}

// The server's name goes to a resolver that hangs, as a slow one does for its 10 to 30 s time-out
// (glibc's lookup cannot be interrupted). Run by ctest as mux-output-test-slow-resolver, in a
// network and mount namespace of its own whose resolv.conf names only the fake DNS server.
TEST_F(MuxOutputTest, SlowResolverHoldsNoStopOrReleaseAndNeverReachesALaterRun)
{
	if (read_file("/etc/resolv.conf") != read_file(BL_SOURCE_DIR "/tests/rtmp/loopback-resolv.conf"))
		GTEST_SKIP() << "needs its own namespace: ctest runs it as mux-output-test-slow-resolver";
	FakeDns dns;
	ASSERT_TRUE(dns.ok());
	RtmpServer server;
	ASSERT_TRUE(server.start());
	auto rig = std::make_unique<MuxRig>();
	const std::weak_ptr<brasslight::MuxOutputData> record = rig->record().host_ref;
	const auto start_in_lookup = [&] {
		const int asked = dns.queries();
		rig->set_target("rtmp://ingest.bl-slow.test:" + std::to_string(server.rtmp_port()) + "/live", "late");
		return rig->start() && poll_until([&] { return dns.queries() > asked; }, kConnectTimeout);
	};
	ASSERT_TRUE(start_in_lookup());
	// A user's stop and the host's forced stop on two threads at once: the second waits for the first.
	auto stopping = Clock::now();
	std::thread user([&] { obs_output_stop(rig->output()); });
	EXPECT_TRUE(poll_until([&] { return brasslight::mux_output_status(rig->output()).state == MuxState::Stopped; },
			       5s));
	obs_output_force_stop(rig->output());
	user.join();
	EXPECT_LT(Clock::now() - stopping, 3s) << "the stop waited for the lookup";
	EXPECT_TRUE(rig->wait_inactive(5s));
	for (long long code : rig->stop_codes())
		EXPECT_EQ(code, OBS_OUTPUT_SUCCESS);

	// Started again while the old lookup still hangs; its failure, when it comes, is not the new run's.
	rig->set_target(server.rtmp_url(), "late");
	ASSERT_TRUE(rig->start()) << rig->last_error();
	ASSERT_TRUE(server.wait_publishing("late", kConnectTimeout));
	dns.answer(true);
	EXPECT_FALSE(rig->wait_stop_signals(1, 2s)) << "the old lookup's failure stopped the new run";
	EXPECT_EQ(brasslight::mux_output_status(rig->output()).state, MuxState::Streaming);
	EXPECT_TRUE(server.stream("late").publishing);
	rig->stop();

	// Released in a lookup: bounded too. The thread left behind ends with the lookup, without
	// touching the released output (the ASan build sees that), and frees the record.
	dns.answer(false);
	ASSERT_TRUE(start_in_lookup());
	stopping = Clock::now();
	rig.reset();
	EXPECT_LT(Clock::now() - stopping, 3s) << "the release waited for the lookup";
	dns.answer(true);
	EXPECT_TRUE(poll_until([&] { return record.expired(); }, 5s)) << "the record outlived its last lookup";
}

} // namespace
