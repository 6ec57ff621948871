// The output type "bl_vertical_mux_rtmp" with the host's real encoders against a real nginx:
// what arrives at the server, the stop codes and last errors, reconnecting after the server
// died, bounded blocking against a server that never answers, RTMPS and the protocol whitelist.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <regex>
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
			ASSERT_TRUE(probe.ok) << probe.describe();
			ASSERT_EQ(probe.streams.size(), 2u) << probe.describe();
			const bltest::ProbedStream *video = probe.first("video");
			const bltest::ProbedStream *audio = probe.first("audio");
			ASSERT_TRUE(video && audio) << probe.describe();
			EXPECT_EQ(video->codec_name, "h264");
			EXPECT_EQ(video->width, 360);
			EXPECT_EQ(video->height, 640);
			EXPECT_EQ(video->avg_frame_rate, "30/1");
			EXPECT_EQ(audio->codec_name, "aac");
			EXPECT_EQ(audio->sample_rate, 48000);
			EXPECT_EQ(audio->channels, 2);

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
	EXPECT_TRUE(std::regex_match(entering[0], std::regex(R"(.*entering reconnect mode: (video|audio) write failed )"
							     R"(\(.+, code=-\d+\))")))
		<< entering[0];
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

	// Down again, then stopped while reconnecting: stop ends reconnect mode for good.
	from = LogCapture::get().mark();
	server.kill();
	ASSERT_TRUE(LogCapture::get().wait_for("entering reconnect mode: ", 10s, from)) << joined(module_lines(from));
	rig.stop();
	EXPECT_EQ(rig.stop_codes(), std::vector<long long> {OBS_OUTPUT_SUCCESS});
	const size_t after_stop = LogCapture::get().mark();
	ASSERT_TRUE(server.restart());
	EXPECT_FALSE(server.wait_publishing("second", 2500ms)) << "a stopped output reconnected";
	EXPECT_EQ(LogCapture::get().count("attempting reconnect", after_stop), 0u);

	// The next start connects at once: no reconnect state is left.
	rig.clear_stop_codes();
	ASSERT_TRUE(rig.start()) << rig.last_error();
	EXPECT_TRUE(server.wait_publishing("second", kConnectTimeout, &seen)) << seen;
	EXPECT_EQ(LogCapture::get().count("reconnect", after_stop), 0u) << joined(module_lines(after_stop));
	rig.stop();
}

// Counts the host's audio ticks and the longest pause between two of them.
struct AudioTicks {
	std::mutex mutex;
	std::vector<std::chrono::steady_clock::time_point> times;

	static void callback(void *param, size_t, audio_data *)
	{
		auto *self = static_cast<AudioTicks *>(param);
		std::lock_guard<std::mutex> lock(self->mutex);
		self->times.push_back(std::chrono::steady_clock::now());
	}
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
};

TEST_F(MuxOutputTest, ServerThatNeverAnswersEndsTheFirstOpenWithinItsDeadline)
{
	bltest::SilentServer silent;
	ASSERT_TRUE(silent.ok());
	MuxRig rig;
	rig.set_target(silent.rtmp_url(), "silent-key");

	AudioTicks ticks;
	obs_add_raw_audio_callback(0, nullptr, &AudioTicks::callback, &ticks);
	const auto started = std::chrono::steady_clock::now();
	EXPECT_EQ(start_and_wait_for_failure(rig), std::vector<long long> {OBS_OUTPUT_ERROR});
	const auto stopped_after =
		std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
	// The host's audio goes on after the failed open.
	const size_t at_stop = ticks.count();
	const auto deadline = std::chrono::steady_clock::now() + 5s;
	while (ticks.count() < at_stop + 10 && std::chrono::steady_clock::now() < deadline)
		std::this_thread::sleep_for(10ms);
	obs_remove_raw_audio_callback(0, &AudioTicks::callback, &ticks);

	EXPECT_GE(silent.accepted(), 1) << "the connection never reached the server";
	EXPECT_EQ(rig.last_error(), kConnectRejected);
	EXPECT_TRUE(has_line_starting(module_lines(from), "avio_open2 failed: ")) << joined(module_lines(from));
	EXPECT_GE(ticks.count(), at_stop + 10) << "the host's audio stopped";
	// Boundedness, not speed: the stall may last up to the open budget, never indefinitely. The
	// margin absorbs a loaded machine; measured figures are in docs/benchmarks.md.
	const auto bound = std::chrono::nanoseconds(brasslight::kOpenBudgetNs) + 3s;
	EXPECT_LT(ticks.longest_gap(), bound)
		<< "the host's audio thread stalled for " << ticks.longest_gap().count() << " ms";
	EXPECT_LT(stopped_after, bound + 2s) << "the failed open took " << stopped_after.count() << " ms";
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

TEST_F(MuxOutputTest, FirstPacketsAreHeldUntilTheEncodersHaveTheirHeaders)
{
	RtmpServer server;
	ASSERT_TRUE(server.start());
	MuxRig rig;
	rig.set_target(server.rtmp_url(), "held");
	brasslight::MuxOutputData &record = rig.record();
	auto deliver = brasslight::mux_output_info().encoded_packet;

	// Running as after start, but with encoders that were never initialised: no header data.
	{
		std::lock_guard<std::mutex> lock(record.mutex);
		record.active = true;
	}
	uint8_t v1[] = {0, 0, 0, 1, 0x65, 1}, v2[] = {0, 0, 0, 1, 0x41, 2}, a1[] = {0x21, 1}, a2[] = {0x21, 2};
	auto packet = [](uint8_t *data, size_t size, obs_encoder_type type, int64_t ts, int32_t den, bool key) {
		encoder_packet p = {};
		p.data = data;
		p.size = size;
		p.pts = p.dts = ts;
		p.timebase_num = 1;
		p.timebase_den = den;
		p.type = type;
		p.keyframe = key;
		return p;
	};
	encoder_packet empty = packet(nullptr, 0, OBS_ENCODER_VIDEO, 0, 30, true);
	encoder_packet pv1 = packet(v1, sizeof(v1), OBS_ENCODER_VIDEO, 0, 30, true);
	encoder_packet pv2 = packet(v2, sizeof(v2), OBS_ENCODER_VIDEO, 1, 30, false);
	encoder_packet pa1 = packet(a1, sizeof(a1), OBS_ENCODER_AUDIO, 0, 48000, false);
	encoder_packet pa2 = packet(a2, sizeof(a2), OBS_ENCODER_AUDIO, 1024, 48000, false);
	for (encoder_packet *p : {&empty, &pv1, &pv2, &pa1, &pa2})
		deliver(&record, p);

	{
		std::lock_guard<std::mutex> lock(record.mutex);
		ASSERT_TRUE(record.held_video.present);
		EXPECT_NE(record.held_video.data.get(), v1) << "the host's buffer must be copied";
		ASSERT_EQ(record.held_video.size, sizeof(v1));
		EXPECT_EQ(std::memcmp(record.held_video.data.get(), v1, sizeof(v1)), 0) << "not the first video packet";
		EXPECT_TRUE(record.held_video.keyframe);
		ASSERT_TRUE(record.held_audio.present);
		EXPECT_EQ(std::memcmp(record.held_audio.data.get(), a1, sizeof(a1)), 0) << "not the first audio packet";
		EXPECT_EQ(record.held_audio.timebase_den, 48000);
		EXPECT_FALSE(record.fmt_ctx);
	}
	EXPECT_TRUE(module_lines(from).empty()) << "waiting for headers is silent:" << joined(module_lines(from));

	// With headers, the next packet (audio may come first) opens the muxer and flushes the held.
	ASSERT_TRUE(obs_output_initialize_encoders(rig.output(), OBS_OUTPUT_VIDEO | OBS_OUTPUT_AUDIO));
	encoder_packet pa3 = packet(a2, sizeof(a2), OBS_ENCODER_AUDIO, 2048, 48000, false);
	deliver(&record, &pa3);
	{
		std::lock_guard<std::mutex> lock(record.mutex);
		EXPECT_TRUE(record.fmt_ctx);
		EXPECT_FALSE(record.held_video.present);
		EXPECT_FALSE(record.held_audio.present);
		record.active = false;
	}
	std::string seen;
	EXPECT_TRUE(server.wait_publishing("held", kConnectTimeout, &seen)) << seen;
	EXPECT_TRUE(rig.stop_codes().empty()) << joined(module_lines(from));
	EXPECT_FALSE(has_line_starting(module_lines(from), "av_interleaved_write_frame")) << joined(module_lines(from));
}

} // namespace
