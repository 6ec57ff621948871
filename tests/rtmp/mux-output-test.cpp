// The output type "bl_vertical_mux_rtmp" with the host's real encoders against a real nginx:
// what arrives at the server, the stop codes and last errors, reconnecting after the server
// died, a connect that never stalls the host's audio and ends at once on stop, RTMPS and the
// protocol whitelist.

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <obs.hpp>

#include "host-fixture.hpp"
#include "mux-rig.hpp"
#include "mux/mux-output-data.hpp"
#include "mux/mux-output.hpp"
#include "rtmp-server.hpp"
#include "stream-probe.hpp"

BL_HOST_ENVIRONMENT();

using namespace std::chrono_literals;
using bltest::LogCapture;
using bltest::module_lines;
using bltest::MuxRig;
using bltest::RtmpServer;
using bltest::TimedLog;

namespace {

constexpr auto kConnectTimeout = 15s;
constexpr auto kProbeTimeout = 15s;
const std::string kConnectRejected = "Stream rejected — check server URL and stream key";

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
	ScopedEnv(const char *name, const char *value) : name_(name)
	{
		if (const char *old = getenv(name))
			old_ = old;
		if (value)
			setenv(name, value, 1);
		else
			unsetenv(name);
	}
	~ScopedEnv()
	{
		if (old_)
			setenv(name_, old_->c_str(), 1);
		else
			unsetenv(name_);
	}

private:
	const char *name_;
	std::optional<std::string> old_;
};

std::string joined(const std::vector<std::string> &lines)
{
	std::string out;
	for (const std::string &line : lines)
		out += "\n  " + line;
	return out;
}

bool has_line_starting(const std::vector<std::string> &lines, const std::string &prefix)
{
	return std::any_of(lines.begin(), lines.end(), [&](const std::string &l) { return l.rfind(prefix, 0) == 0; });
}

// Counts the host's audio ticks (a raw audio callback on the host's audio thread) and the longest
// pause between two of them, while it lives.
class AudioTicks {
public:
	AudioTicks() { obs_add_raw_audio_callback(0, nullptr, &AudioTicks::callback, this); }
	~AudioTicks() { obs_remove_raw_audio_callback(0, &AudioTicks::callback, this); }
	AudioTicks(const AudioTicks &) = delete;
	AudioTicks &operator=(const AudioTicks &) = delete;

	size_t count()
	{
		std::lock_guard<std::mutex> lock(mutex);
		return times.size();
	}
	std::chrono::milliseconds longest_gap()
	{
		std::lock_guard<std::mutex> lock(mutex);
		std::chrono::steady_clock::duration gap {};
		for (size_t i = 1; i < times.size(); ++i)
			gap = std::max(gap, times[i] - times[i - 1]);
		return std::chrono::duration_cast<std::chrono::milliseconds>(gap);
	}
	// Polls until n more ticks than now have come; false if the deadline passed first.
	bool wait_more(size_t n, std::chrono::milliseconds timeout)
	{
		const size_t target = count() + n;
		const auto deadline = std::chrono::steady_clock::now() + timeout;
		while (count() < target) {
			if (std::chrono::steady_clock::now() >= deadline)
				return false;
			std::this_thread::sleep_for(10ms);
		}
		return true;
	}

private:
	static void callback(void *param, size_t, audio_data *)
	{
		auto *self = static_cast<AudioTicks *>(param);
		std::lock_guard<std::mutex> lock(self->mutex);
		self->times.push_back(std::chrono::steady_clock::now());
	}

	std::mutex mutex;
	std::vector<std::chrono::steady_clock::time_point> times;
};

std::chrono::milliseconds elapsed_since(std::chrono::steady_clock::time_point since)
{
	return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since);
}

// Polls until the silent server has accepted n connections: a connect is then under way.
bool wait_accepted(const bltest::SilentServer &silent, int n, std::chrono::milliseconds timeout)
{
	const auto deadline = std::chrono::steady_clock::now() + timeout;
	while (silent.accepted() < n) {
		if (std::chrono::steady_clock::now() >= deadline)
			return false;
		std::this_thread::sleep_for(10ms);
	}
	return true;
}

// "...entering reconnect mode: video|audio write failed (DESCRIPTION, code=-N)"
bool is_reconnect_entry(const std::string &line)
{
	const std::string entry = "entering reconnect mode: ";
	const size_t at = line.find(entry);
	if (at == std::string::npos)
		return false;
	const std::string rest = line.substr(at + entry.size());
	const bool reason = rest.rfind("video write failed (", 0) == 0 || rest.rfind("audio write failed (", 0) == 0;
	const size_t code = rest.rfind(", code=-");
	if (!reason || code == std::string::npos || rest.back() != ')')
		return false;
	const std::string digits = rest.substr(code + 8, rest.size() - code - 9);
	return !digits.empty() &&
	       std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

class MuxOutputTest : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		if (!obs_get_output_flags(brasslight::kMuxOutputId))
			brasslight::register_mux_output_type();
		TimedLog::get();
	}
	void SetUp() override { from = LogCapture::get().mark(); }

	// The stream key is a secret: no line of the host's log may contain it.
	static void expect_never_logged(const std::string &key)
	{
		for (const std::string &line : LogCapture::get().lines())
			ASSERT_EQ(line.find(key), std::string::npos) << "the stream key was logged: " << line;
	}

	// Starts the output and waits for it to stop itself; returns the stop codes.
	static std::vector<long long> start_and_wait_for_failure(MuxRig &rig)
	{
		rig.clear_stop_codes();
		EXPECT_TRUE(rig.start()) << rig.last_error();
		EXPECT_TRUE(rig.wait_stop_signals(1, kConnectTimeout)) << "no stop signal";
		EXPECT_TRUE(rig.wait_inactive(kConnectTimeout));
		return rig.stop_codes();
	}

	size_t from = 0;
};

TEST_F(MuxOutputTest, StartRefusesATargetThatIsEmptyAfterTrimming)
{
	struct Row {
		const char *server;
		const char *key;
	};
	const Row rows[] = {{"", "k"},
			    {"rtmp://127.0.0.1/live", ""},
			    {" \t\r\n", "k"},
			    {"rtmp://127.0.0.1/live", "\n "}};
	MuxRig rig;
	for (const Row &row : rows) {
		rig.set_target(row.server, row.key);
		EXPECT_FALSE(rig.start()) << "row server='" << row.server << "' key='" << row.key << "'";
		EXPECT_EQ(rig.last_error(), "Missing RTMP server/key")
			<< "row server='" << row.server << "' key='" << row.key << "'";
		EXPECT_FALSE(obs_output_active(rig.output()));
	}
	EXPECT_TRUE(rig.stop_codes().empty());
}

TEST_F(MuxOutputTest, StreamsTheMixAsH264AndAacThatTheServerRelays)
{
	RtmpServer server;
	ASSERT_TRUE(server.start());
	const std::string key = "vertical-7f3a9c";
	MuxRig rig;
	// The controller's settings as a user might type them: a trailing slash, blanks around.
	rig.set_target(server.rtmp_url() + "/", " " + key + "\n");

	for (int run = 1; run <= 2; ++run) {
		SCOPED_TRACE("run " + std::to_string(run));
		rig.clear_stop_codes();
		ASSERT_TRUE(rig.start()) << rig.last_error();
		std::string seen;
		ASSERT_TRUE(server.wait_publishing(key, kConnectTimeout, &seen)) << seen << joined(module_lines(from));
		if (run == 1) {
			bltest::ProbeResult probe = bltest::probe_stream(server.play_url(key), kProbeTimeout);
			ASSERT_EQ(probe.streams.size(), 2u) << probe.describe();
			EXPECT_TRUE(bltest::carries_h264_and_aac(probe, 360, 640, "30/1"));

			// The stream's declared size is the view's, not the host's main mix (640x360).
			bltest::StreamStat stat = server.stream(key);
			EXPECT_EQ(stat.width, 360);
			EXPECT_EQ(stat.height, 640);
			EXPECT_EQ(stat.video_codec, "H264");
			EXPECT_EQ(stat.audio_codec, "AAC");
			EXPECT_TRUE(has_line_starting(module_lines(from), "mux opened: video_tb=1/1000 audio_tb=1/1000 "
									  "fps=30/1 sample_rate=48000"))
				<< joined(module_lines(from));
		}
		rig.stop();
		EXPECT_EQ(rig.stop_codes(), std::vector<long long> {OBS_OUTPUT_SUCCESS});
		EXPECT_TRUE(server.wait_not_publishing(key, 5s, &seen)) << "the connection outlived stop: " << seen;
	}
	EXPECT_FALSE(has_line_starting(module_lines(from), "av_interleaved_write_frame")) << joined(module_lines(from));
	expect_never_logged(key);
}

TEST_F(MuxOutputTest, RefusedFirstConnectStopsTheOutputWithTheConnectError)
{
	MuxRig rig;
	rig.set_target("rtmp://127.0.0.1:" + std::to_string(bltest::free_loopback_port()) + "/live", "refused-key");
	// Twice: a failed start leaves the output able to start again.
	for (int run = 1; run <= 2; ++run) {
		SCOPED_TRACE("run " + std::to_string(run));
		from = LogCapture::get().mark();
		EXPECT_EQ(start_and_wait_for_failure(rig), std::vector<long long> {OBS_OUTPUT_ERROR})
			<< "exactly one stop, with the error code";
		EXPECT_EQ(rig.last_error(), kConnectRejected);
		const std::vector<std::string> lines = module_lines(from);
		EXPECT_TRUE(has_line_starting(lines, "avio_open2 failed: Connection refused (code -111)"))
			<< joined(lines);
		EXPECT_TRUE(has_line_starting(lines, "open_muxer fatal — stopping output")) << joined(lines);
		EXPECT_FALSE(has_line_starting(lines, "mux opened")) << joined(lines);
	}
	expect_never_logged("refused-key");
}

TEST_F(MuxOutputTest, ReconnectsOnItsOwnAfterTheServerDiesAndComesBack)
{
	RtmpServer server;
	ASSERT_TRUE(server.start());
	MuxRig rig;
	rig.set_target(server.rtmp_url(), "first");
	ASSERT_TRUE(rig.start()) << rig.last_error();
	std::string seen;
	ASSERT_TRUE(server.wait_publishing("first", kConnectTimeout, &seen)) << seen;

	// A new target does not touch the running connection; the next open uses it.
	rig.set_target(server.rtmp_url(), "second");
	EXPECT_TRUE(server.stream("first").publishing);
	EXPECT_FALSE(server.stream("second").present);

	const size_t timed = TimedLog::get().mark();
	server.kill();
	ASSERT_TRUE(LogCapture::get().wait_for("entering reconnect mode: ", 10s, from)) << joined(module_lines(from));
	const std::vector<std::string> entering =
		LogCapture::get().with_prefix("[brasslight-obs-vertical] entering reconnect mode: ", from);
	ASSERT_FALSE(entering.empty());
	EXPECT_TRUE(is_reconnect_entry(entering[0])) << entering[0];
	EXPECT_EQ(rig.last_error(), "RTMP disconnected, reconnecting...");

	// Two refused attempts: the first no sooner than 1 s after the disconnect, the second no
	// sooner than 2 s after the first failure.
	const auto deadline = std::chrono::steady_clock::now() + 20s;
	while (TimedLog::get().find("reconnect failed, will retry", timed).size() < 2 &&
	       std::chrono::steady_clock::now() < deadline)
		std::this_thread::sleep_for(20ms);
	const auto enter = TimedLog::get().find("entering reconnect mode: ", timed);
	const auto attempts = TimedLog::get().find("attempting reconnect on keyframe", timed);
	const auto failures = TimedLog::get().find("reconnect failed, will retry", timed);
	ASSERT_GE(failures.size(), 2u) << joined(module_lines(from));
	ASSERT_GE(attempts.size(), 2u);
	// Log times are taken after the deadline is set, so a small tolerance covers the gap.
	const auto tolerance = 50ms;
	EXPECT_GE(attempts[0].at - enter[0].at, 1s - tolerance);
	EXPECT_GE(attempts[1].at - failures[0].at, 2s - tolerance);
	EXPECT_TRUE(rig.stop_codes().empty()) << "reconnect mode must not stop the output";
	EXPECT_TRUE(obs_output_active(rig.output()));

	from = LogCapture::get().mark();
	ASSERT_TRUE(server.restart());
	ASSERT_TRUE(LogCapture::get().wait_for("reconnect succeeded", 15s, from)) << joined(module_lines(from));
	ASSERT_TRUE(server.wait_publishing("second", kConnectTimeout, &seen)) << seen;
	EXPECT_FALSE(server.stream("first").present);
	bltest::ProbeResult probe = bltest::probe_stream(server.play_url("second"), kProbeTimeout);
	EXPECT_TRUE(probe.ok && probe.first("video") && probe.first("audio")) << probe.describe();

	// Down again, and now the port accepts TCP but never answers: the host's audio goes on
	// while the attempt hangs, and a stop ends the attempt and reconnect mode for good.
	from = LogCapture::get().mark();
	server.kill();
	{
		bltest::SilentServer silent(server.rtmp_port());
		ASSERT_TRUE(silent.ok());
		AudioTicks ticks;
		ASSERT_TRUE(wait_accepted(silent, 1, 10s)) << joined(module_lines(from));
		ASSERT_TRUE(LogCapture::get().contains("attempting reconnect on keyframe", from));
		// About a second of audio, all of it while the attempt is still hanging.
		EXPECT_TRUE(ticks.wait_more(40, 5s)) << "the host's audio stopped";
		EXPECT_FALSE(LogCapture::get().contains("reconnect failed", from))
			<< "the audio waited for the attempt to end:" << joined(module_lines(from));
		const auto stopping = std::chrono::steady_clock::now();
		rig.stop();
		const auto stop_took = elapsed_since(stopping);
		EXPECT_LT(stop_took, 3s) << "stop waited " << stop_took.count() << " ms for the attempt";
	}
	EXPECT_EQ(rig.stop_codes(), std::vector<long long> {OBS_OUTPUT_SUCCESS});
	const size_t after_stop = LogCapture::get().mark();
	ASSERT_TRUE(server.restart());
	EXPECT_FALSE(server.wait_publishing("second", 2500ms)) << "a stopped output reconnected";
	EXPECT_EQ(LogCapture::get().count("reconnect", after_stop), 0u) << joined(module_lines(after_stop));

	// The next start connects at once: no reconnect state is left.
	rig.clear_stop_codes();
	ASSERT_TRUE(rig.start()) << rig.last_error();
	EXPECT_TRUE(server.wait_publishing("second", kConnectTimeout, &seen)) << seen;
	EXPECT_EQ(LogCapture::get().count("reconnect", after_stop), 0u) << joined(module_lines(after_stop));
	rig.stop();
}

TEST_F(MuxOutputTest, HostAudioKeepsFlowingWhileTheFirstConnectHangs)
{
	bltest::SilentServer silent;
	ASSERT_TRUE(silent.ok());
	MuxRig rig;
	rig.set_target(silent.rtmp_url(), "silent-key");

	std::chrono::milliseconds connect_took {};
	std::chrono::milliseconds longest_pause {};
	{
		AudioTicks ticks;
		const auto started = std::chrono::steady_clock::now();
		EXPECT_EQ(start_and_wait_for_failure(rig), std::vector<long long> {OBS_OUTPUT_ERROR});
		connect_took = elapsed_since(started);
		longest_pause = ticks.longest_gap();
		// And the audio goes on after the failed open.
		EXPECT_TRUE(ticks.wait_more(10, 5s)) << "the host's audio stopped after the failed open";
	}

	EXPECT_GE(silent.accepted(), 1) << "the connection never reached the server";
	EXPECT_EQ(rig.last_error(), kConnectRejected);
	EXPECT_TRUE(has_line_starting(module_lines(from), "avio_open2 failed: ")) << joined(module_lines(from));
	// The hanging handshake ends on its own deadline, not never.
	EXPECT_LT(connect_took, std::chrono::nanoseconds(brasslight::kOpenBudgetNs) + 5s)
		<< "the failed open took " << connect_took.count() << " ms";
	// The connect held no host thread: the audio thread's pauses stay a small part of the time
	// the server kept the handshake hanging (with the connect on the encoder thread, the pause
	// was the whole of it).
	EXPECT_LT(longest_pause, connect_took / 4) << "the host's audio thread paused for " << longest_pause.count()
						   << " ms of a " << connect_took.count() << " ms connect";
}

TEST_F(MuxOutputTest, StopAndReleaseEndAHangingConnectAtOnce)
{
	bltest::SilentServer silent;
	ASSERT_TRUE(silent.ok());
	// The handshake's own time-outs would end the connect after seconds: stop must not wait
	// for them.
	const auto handshake_timeout = 3s;
	{
		MuxRig rig;
		rig.set_target(silent.rtmp_url(), "silent-key");
		ASSERT_TRUE(rig.start()) << rig.last_error();
		ASSERT_TRUE(wait_accepted(silent, 1, kConnectTimeout)) << "no connect reached the server";
		const auto stopping = std::chrono::steady_clock::now();
		rig.stop();
		const auto stop_took = elapsed_since(stopping);
		EXPECT_LT(stop_took, handshake_timeout) << "stop took " << stop_took.count() << " ms";
		EXPECT_EQ(rig.stop_codes(), std::vector<long long> {OBS_OUTPUT_SUCCESS});

		// Started again and released while connecting: the host stops and destroys the output.
		ASSERT_TRUE(rig.start()) << rig.last_error();
		ASSERT_TRUE(wait_accepted(silent, 2, kConnectTimeout)) << "no second connect reached the server";
	}
	const std::vector<std::string> lines = module_lines(from);
	EXPECT_FALSE(has_line_starting(lines, "open_muxer fatal")) << joined(lines);
	EXPECT_FALSE(has_line_starting(lines, "mux opened")) << joined(lines);
	// A connect that the stop cut short is no failure of the server's.
	EXPECT_FALSE(has_line_starting(lines, "avio_open2 failed")) << joined(lines);
}

TEST_F(MuxOutputTest, RtmpsStreamsOnlyToAServerWhoseCertificateIsTrusted)
{
	RtmpServer server(RtmpServer::Options {true});
	ASSERT_TRUE(server.start());
	MuxRig rig;
	rig.set_target(server.rtmps_url(), "secure-key");
	{
		ScopedEnv trust("SSL_CERT_FILE", server.ca_file().c_str());
		ASSERT_TRUE(rig.start()) << rig.last_error();
		std::string seen;
		ASSERT_TRUE(server.wait_publishing("secure-key", kConnectTimeout, &seen))
			<< seen << joined(module_lines(from));
		rig.stop();
		EXPECT_EQ(rig.stop_codes(), std::vector<long long> {OBS_OUTPUT_SUCCESS});
	}
	{
		// The system's trust store does not know the test CA: an impostor as far as TLS goes.
		ScopedEnv no_trust("SSL_CERT_FILE", nullptr);
		from = LogCapture::get().mark();
		EXPECT_EQ(start_and_wait_for_failure(rig), std::vector<long long> {OBS_OUTPUT_ERROR});
		EXPECT_EQ(rig.last_error(), kConnectRejected);
		EXPECT_TRUE(has_line_starting(module_lines(from), "avio_open2 failed: ")) << joined(module_lines(from));
		EXPECT_FALSE(server.stream("secure-key").publishing);
	}
	expect_never_logged("secure-key");
}

TEST_F(MuxOutputTest, OnlyStreamingProtocolsAreOpened)
{
	bltest::TempDir dir("bl-whitelist");
	bltest::SilentServer listener;
	ASSERT_TRUE(listener.ok());
	const std::string rows[] = {
		"file:" + dir.path(),
		dir.path(),
		"pipe:",
		"http://127.0.0.1:" + std::to_string(listener.port()) + "/live",
	};
	MuxRig rig;
	for (const std::string &server : rows) {
		SCOPED_TRACE("row " + server);
		rig.set_target(server, "out.flv");
		from = LogCapture::get().mark();
		EXPECT_EQ(start_and_wait_for_failure(rig), std::vector<long long> {OBS_OUTPUT_ERROR});
		EXPECT_EQ(rig.last_error(), kConnectRejected);
		EXPECT_TRUE(has_line_starting(module_lines(from), "avio_open2 failed: ")) << joined(module_lines(from));
	}
	EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "something was written into " << dir.path();
	EXPECT_EQ(listener.accepted(), 0) << "a non-RTMP protocol connected";
}

TEST_F(MuxOutputTest, NullPacketReportsAnEncoderFailureEvenWhenIdle)
{
	MuxRig rig;
	brasslight::mux_output_info().encoded_packet(&rig.record(), nullptr);
	EXPECT_TRUE(rig.wait_stop_signals(1, 5s));
	EXPECT_EQ(rig.stop_codes(), std::vector<long long> {OBS_OUTPUT_ENCODE_ERROR});
}

TEST_F(MuxOutputTest, ConnectsOnceTheEncodersHaveHeadersAndWritesFromAKeyframeOn)
{
	RtmpServer server;
	ASSERT_TRUE(server.start());
	MuxRig rig;
	rig.set_target(server.rtmp_url(), "keyframe");
	brasslight::MuxOutputData &record = rig.record();
	auto state = [&] {
		const int shown = static_cast<int>(brasslight::mux_output_status(rig.output()).state);
		std::lock_guard<std::mutex> lock(record.mutex);
		return "state " + std::to_string(shown) + ", muxer " + (record.fmt_ctx ? "open" : "none") +
		       ", connect asked " + std::to_string(record.connect_requested) + ", queued " +
		       std::to_string(record.queue.size()) + ", written " +
		       std::to_string(record.packets_written.load()) + ", last dts video " +
		       std::to_string(record.last_video_dts) + " audio " + std::to_string(record.last_audio_dts);
	};
	auto reaches = [&](const std::string &expected) {
		const auto deadline = std::chrono::steady_clock::now() + kConnectTimeout;
		while (state() != expected && std::chrono::steady_clock::now() < deadline)
			std::this_thread::sleep_for(10ms);
		return state();
	};

	// Running as after start, but with encoders that were never initialised: no header data.
	{
		std::lock_guard<std::mutex> lock(record.mutex);
		record.phase = brasslight::RunPhase::Opening;
		record.published_phase = brasslight::RunPhase::Opening;
	}
	brasslight::launch_sender(record);
	const std::vector<uint8_t> key = {0, 0, 0, 1, 0x65, 1}, delta = {0, 0, 0, 1, 0x41, 2}, aac = {0x21, 1};
	auto deliver = [&record](const std::vector<uint8_t> &bytes, obs_encoder_type type, int64_t ts, int32_t den,
				 bool keyframe = false, bool no_dts = false) {
		// Laid out as the host's own packets are: a reference count before the payload.
		auto *refs = static_cast<long *>(bmalloc(sizeof(long) + bytes.size()));
		*refs = 1;
		encoder_packet p = {};
		p.data = reinterpret_cast<uint8_t *>(refs + 1);
		memcpy(p.data, bytes.data(), bytes.size());
		p.size = bytes.size();
		p.pts = ts;
		p.dts = no_dts ? brasslight::kNoTimestamp : ts;
		p.timebase_num = 1;
		p.timebase_den = den;
		p.dts_usec = ts * 1000000 / den;
		p.type = type;
		p.keyframe = keyframe;
		brasslight::mux_output_info().encoded_packet(&record, &p);
		obs_encoder_packet_release(&p);
	};
	deliver(key, OBS_ENCODER_VIDEO, 0, 30, true);
	deliver(aac, OBS_ENCODER_AUDIO, 0, 48000);
	const std::string none = std::to_string(brasslight::kNoTimestamp);
	const std::string dts_none = ", last dts video " + none + " audio " + none;
	EXPECT_EQ(reaches("state 1, muxer none, connect asked 0, queued 0, written 0" + dts_none),
		  "state 1, muxer none, connect asked 0, queued 0, written 0" + dts_none)
		<< "no connect before the encoders have header data";
	EXPECT_TRUE(module_lines(from).empty()) << "waiting for headers is silent:" << joined(module_lines(from));

	// With headers, the next packet (audio may come first) starts the connect; packets are
	// dropped until it is up and then until a video keyframe.
	ASSERT_TRUE(obs_output_initialize_encoders(rig.output(), OBS_OUTPUT_VIDEO | OBS_OUTPUT_AUDIO));
	deliver(aac, OBS_ENCODER_AUDIO, 1024, 48000);
	const std::string connected = "state 2, muxer open, connect asked 0, queued 0, written 0" + dts_none;
	ASSERT_EQ(reaches(connected), connected) << joined(module_lines(from));

	deliver(delta, OBS_ENCODER_VIDEO, 2, 30);
	deliver(aac, OBS_ENCODER_AUDIO, 2048, 48000);
	EXPECT_EQ(state(), connected) << "a delta frame or audio was queued before the first keyframe";

	// From the keyframe on, everything is written (the dts are the packets' own, in ms).
	deliver(key, OBS_ENCODER_VIDEO, 3, 30, true);
	deliver(aac, OBS_ENCODER_AUDIO, 4096, 48000);
	deliver(delta, OBS_ENCODER_VIDEO, 4, 30);
	const std::string written =
		"state 2, muxer open, connect asked 0, queued 0, written 3, last dts video 133 audio 85";
	EXPECT_EQ(reaches(written), written);

	std::string seen;
	EXPECT_TRUE(server.wait_publishing("keyframe", kConnectTimeout, &seen)) << seen;
	EXPECT_TRUE(rig.stop_codes().empty()) << joined(module_lines(from));
	EXPECT_FALSE(has_line_starting(module_lines(from), "av_interleaved_write_frame")) << joined(module_lines(from));

	// A write that fails for a fault of the stream (here a dts the muxer rejects), not of the
	// link: one stop for the run, whatever follows, and the connection closes at once.
	deliver(delta, OBS_ENCODER_VIDEO, 1, 30, false, true);
	for (int64_t ts = 5; ts < 9; ++ts)
		deliver(delta, OBS_ENCODER_VIDEO, ts, 30);
	EXPECT_TRUE(rig.wait_stop_signals(1, 5s));
	EXPECT_TRUE(server.wait_not_publishing("keyframe", 5s, &seen)) << seen;
	EXPECT_EQ(rig.stop_codes(), std::vector<long long> {OBS_OUTPUT_ERROR});
	EXPECT_EQ(rig.last_error(), "av_interleaved_write_frame(video) failed");
	EXPECT_TRUE(has_line_starting(module_lines(from), "av_interleaved_write_frame(video) failed: Invalid argument"))
		<< joined(module_lines(from));
	brasslight::halt_sender(record);
}

} // namespace
