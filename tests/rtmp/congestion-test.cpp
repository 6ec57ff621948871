// A vertical uplink slower than the stream, through a throttling TCP relay (scripts/host/
// throttle.py, a fault injector) in front of a real nginx, with the host's real encoders: the
// output drops video, never the host's time, and says what state it is in.

#include <atomic>
#include <csignal>
#include <thread>

#include <gtest/gtest.h>

#include "child-process.hpp"
#include "host-fixture.hpp"
#include "mux-rig.hpp"
#include "mux/mux-output-data.hpp"
#include "mux/mux-output.hpp"
#include "rtmp-server.hpp"

BL_HOST_ENVIRONMENT();

using namespace std::chrono_literals;
using brasslight::MuxState;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kVideoKbps = 1200;
// A quarter of the vertical stream: video and 160 kbit/s of audio, in bytes per second.
constexpr int kQuarterLink = (kVideoKbps + 160) * 1000 / 8 / 4;

TEST(CongestionTest, ASlowLinkCostsTheVerticalStreamFramesAndNeverTheHostsTime)
{
	if (!obs_get_output_flags(brasslight::kMuxOutputId))
		brasslight::register_mux_output_type();
	bltest::RtmpServer server;
	ASSERT_TRUE(server.start());
	bltest::TempDir dir("bl-congestion");
	bltest::ChildProcess relay, recorder;
	const uint16_t relay_port = bltest::free_loopback_port();
	std::string error;
	ASSERT_TRUE(
		relay.start({"python3", BL_SOURCE_DIR "/scripts/host/throttle.py", "--port", std::to_string(relay_port),
			     "--target", std::to_string(server.rtmp_port()), "--rate", std::to_string(kQuarterLink)},
			    dir.file("relay.log"), &error))
		<< error;
	ASSERT_TRUE(bltest::poll_until([&] { return bltest::port_accepts(relay_port); }, 10s))
		<< "the relay did not listen";
	// A player waiting before the stream starts records all of it.
	const std::string recording = dir.file("vertical.flv");
	ASSERT_TRUE(recorder.start({"ffmpeg", "-nostdin", "-v", "error", "-i", server.play_url("vertical"), "-c",
				    "copy", "-f", "flv", recording},
				   dir.file("recorder.log"), &error))
		<< error;

	std::atomic<int> reconnects {0}, successes {0};
	bltest::RigOptions options;
	options.video_kbps = kVideoKbps;
	bltest::MuxRig vertical(options), main;
	vertical.set_target("rtmp://127.0.0.1:" + std::to_string(relay_port) + "/live", "vertical");
	main.set_target(server.rtmp_url(), "main");
	auto status = [&] {
		return brasslight::mux_output_status(vertical.output());
	};
	auto shows = [&](MuxState state, std::chrono::milliseconds timeout) {
		return bltest::poll_until([&] { return status().state == state; }, timeout);
	};
	signal_handler_t *signals = obs_output_get_signal_handler(vertical.output());
	auto count = [](void *n, calldata_t *) {
		++*static_cast<std::atomic<int> *>(n);
	};
	signal_handler_connect(signals, "reconnect", count, &reconnects);
	signal_handler_connect(signals, "reconnect_success", count, &successes);
	brasslight::MuxOutputData &record = vertical.record();
	int64_t longest_queue_us = 0;
	// The main output's rate over a window, watching the vertical queue's length meanwhile.
	auto main_kbps = [&](std::chrono::seconds window) {
		const uint64_t from = server.stream("main").bytes_in;
		const auto end = Clock::now() + window;
		while (Clock::now() < end) {
			std::this_thread::sleep_for(50ms);
			std::lock_guard<std::mutex> lock(record.mutex);
			longest_queue_us = std::max(longest_queue_us, record.queue.span_us());
		}
		return double(server.stream("main").bytes_in - from) * 8 / 1000 / double(window.count());
	};

	ASSERT_TRUE(main.start());
	ASSERT_TRUE(vertical.start());
	EXPECT_EQ(status().state, MuxState::Connecting);
	ASSERT_TRUE(shows(MuxState::Streaming, 15s));
	ASSERT_TRUE(server.wait_publishing("main", 15s));
	const double main_open = main_kbps(3s);

	bltest::AudioTicks pauses;
	relay.signal(SIGUSR2);
	const size_t from = bltest::LogCapture::get().mark();
	// The kernel's send buffer (a few hundred kB) fills first.
	ASSERT_TRUE(bltest::poll_until([&] { return status().frames_dropped > 0; }, 40s))
		<< "nothing dropped at a quarter link";
	pauses.longest = 0;
	const double main_congested = main_kbps(5s);
	EXPECT_GE(main_congested, 0.85 * main_open) << "open " << main_open << " kbit/s";
	EXPECT_LT(pauses.longest.load(), std::chrono::nanoseconds(200ms).count())
		<< "the audio thread waited for the link";
	EXPECT_LE(longest_queue_us, brasslight::kQueueCapUs);
	EXPECT_EQ(status().state, MuxState::Streaming);
	EXPECT_LT(status().dropped_share(), 1.0);
	EXPECT_FALSE(bltest::LogCapture::get().contains("entering reconnect mode", from));
	// The host sees the same health through the output's callbacks.
	EXPECT_GT(obs_output_get_frames_dropped(vertical.output()), 0);
	EXPECT_TRUE(bltest::poll_until([&] { return obs_output_get_congestion(vertical.output()) > 0.0f; }, 5s));
	EXPECT_LE(obs_output_get_congestion(vertical.output()), 1.0f);
	EXPECT_GT(obs_output_get_total_bytes(vertical.output()), 100000u);
	EXPECT_GT(obs_output_get_connect_time_ms(vertical.output()), 0);

	// Full speed again: once the queue has drained and video resumed, nothing more is dropped.
	relay.signal(SIGUSR1);
	ASSERT_TRUE(bltest::poll_until(
		[&] {
			std::lock_guard<std::mutex> lock(record.mutex);
			return record.queue.span_us() < 100000 && !record.queue.waiting_for_keyframe();
		},
		10s));
	const uint64_t dropped = status().frames_dropped;
	EXPECT_FALSE(bltest::poll_until([&] { return status().frames_dropped != dropped; }, 3s))
		<< "still dropping at full speed";
	EXPECT_EQ(status().state, MuxState::Streaming);

	// What reached the server decodes without a single error.
	recorder.signal(SIGINT);
	ASSERT_TRUE(recorder.wait_exit(10s).has_value());
	const bltest::CommandResult decoded =
		bltest::run_command({"ffmpeg", "-nostdin", "-v", "error", "-i", recording, "-f", "null", "-"}, 60s);
	EXPECT_EQ(decoded.exit_code, 0);
	EXPECT_EQ(decoded.output, "");
	EXPECT_GT(bltest::read_file(recording).size(), 100000u);

	// The server dies and comes back.
	server.kill();
	EXPECT_TRUE(shows(MuxState::Reconnecting, 10s));
	ASSERT_TRUE(server.restart());
	EXPECT_TRUE(shows(MuxState::Streaming, 20s));
	EXPECT_EQ(reconnects.load(), 1);
	EXPECT_TRUE(bltest::poll_until([&] { return successes.load() == 1; }, 5s));

	// A stop on a congested link is bounded: what is queued is dropped.
	relay.signal(SIGUSR2);
	const uint64_t before = status().frames_dropped;
	EXPECT_TRUE(bltest::poll_until([&] { return status().frames_dropped > before; }, 40s));
	const auto stopping = Clock::now();
	vertical.stop();
	EXPECT_LT(Clock::now() - stopping, 3s);
	EXPECT_EQ(status().state, MuxState::Stopped);
	main.stop();
}

} // namespace
