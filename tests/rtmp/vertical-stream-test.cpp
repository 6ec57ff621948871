// The vertical stream end to end inside a headless host: the runtime's canvas, the host's own
// encoders, our output type, a real nginx-rtmp, and ffprobe on what arrived.

#include <chrono>

#include <gtest/gtest.h>
#include <obs.hpp>

#include "canvas/vertical-canvas.hpp"
#include "config/global-config.hpp"
#include "config/profile-config.hpp"
#include "module/host-events.hpp"
#include "module/runtime.hpp"
#include "mux/mux-output.hpp"
#include "output/vertical-output.hpp"
#include "host-fixture.hpp"
#include "qt-app.hpp"
#include "rtmp-server.hpp"
#include "stream-probe.hpp"

using namespace brasslight;
using namespace std::chrono_literals;
using bltest::LogCapture;

BL_HOST_ENVIRONMENT();

namespace {

constexpr const char *kKey = "vertical";

class VerticalStreamTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		bltest::ensure_qt_application();
		static const bool registered = (register_mux_output_type(), true);
		(void)registered;
		ASSERT_TRUE(server.start());
		open_profile_config(dir.file("brasslight-vertical-canvas.ini"));
		set_rtmp_url(server.rtmp_url().c_str());
		set_stream_key(kKey);
		set_video_bitrate(800);
		set_encoder_preset("ultrafast");
	}
	void TearDown() override
	{
		std::lock_guard<std::recursive_mutex> lock(runtime_lock);
		destroy_runtime(false);
		profile_config.Close();
	}

	static bool build_runtime(uint32_t width, uint32_t height, uint32_t fps)
	{
		set_canvas_width(width);
		set_canvas_height(height);
		set_fps_num(fps);
		std::lock_guard<std::recursive_mutex> lock(runtime_lock);
		destroy_runtime(false);
		return create_runtime_from_current_profile();
	}

	static bool stopped()
	{
		return bltest::poll_until([] { return !output->is_active(); }, 10s);
	}

	bltest::TempDir dir;
	bltest::RtmpServer server;
};

} // namespace

TEST_F(VerticalStreamTest, StreamsTheCanvasAtItsOwnSizeAndRate)
{
	struct Row {
		uint32_t width, height, fps;
		const char *rate;
	};
	for (const Row &row : {Row {360, 640, 30, "30/1"}, Row {240, 428, 25, "25/1"}}) {
		ASSERT_TRUE(build_runtime(row.width, row.height, row.fps));
		ASSERT_TRUE(output->start());
		// The profile's bitrate and preset reach x264.
		obs_output_t *handle = output->output_handle();
		OBSDataAutoRelease video = obs_encoder_get_settings(obs_output_get_video_encoder(handle));
		EXPECT_EQ(obs_data_get_int(video, "bitrate"), 800);
		EXPECT_STREQ(obs_data_get_string(video, "preset"), "ultrafast");
		std::string last;
		ASSERT_TRUE(server.wait_publishing(kKey, 15s, &last)) << last;
		const bltest::ProbeResult probe = bltest::probe_stream(server.play_url(kKey), 20s);
		EXPECT_TRUE(bltest::carries_h264_and_aac(probe, static_cast<int>(row.width),
							 static_cast<int>(row.height), row.rate));

		output->stop();
		ASSERT_TRUE(stopped());
		ASSERT_TRUE(server.wait_not_publishing(kKey, 10s, &last)) << last;
	}
	// A normal stop is no error: no dialog.
	EXPECT_FALSE(bltest::capture_message_box(1s).shown);
}

TEST_F(VerticalStreamTest, ARefusedServerEndsInTheErrorDialogWithTheOutputsLastError)
{
	set_rtmp_url(("rtmp://127.0.0.1:" + std::to_string(bltest::free_loopback_port()) + "/live").c_str());
	ASSERT_TRUE(build_runtime(360, 640, 30));
	ASSERT_TRUE(output->start()); // the connection is made by the first packet
	const bltest::ShownBox box = bltest::capture_message_box(20s);
	ASSERT_TRUE(box.shown) << "no error dialog";
	EXPECT_EQ(box.title, "Vertical Canvas — Stream Error");
	EXPECT_EQ(box.text, "Stream rejected — check server URL and stream key");
	ASSERT_TRUE(stopped());
	// The controller stays usable: the user fixes the URL and starts again.
	set_rtmp_url(server.rtmp_url().c_str());
	{
		std::lock_guard<std::recursive_mutex> lock(runtime_lock);
		apply_output_config();
	}
	ASSERT_TRUE(output->start());
	std::string last;
	EXPECT_TRUE(server.wait_publishing(kKey, 15s, &last)) << last;
}

TEST_F(VerticalStreamTest, StartsAndStopsWithTheMainStream)
{
	ASSERT_TRUE(build_runtime(360, 640, 30));
	on_frontend_event(OBS_FRONTEND_EVENT_STREAMING_STARTING, nullptr);
	std::string last;
	ASSERT_TRUE(server.wait_publishing(kKey, 15s, &last)) << last;
	// Already streaming: a second start of the main stream changes nothing and says nothing.
	const size_t from = LogCapture::get().mark();
	on_frontend_event(OBS_FRONTEND_EVENT_STREAMING_STARTING, nullptr);
	EXPECT_TRUE(bltest::module_lines(from).empty());

	on_frontend_event(OBS_FRONTEND_EVENT_STREAMING_STOPPED, nullptr);
	ASSERT_TRUE(stopped());
	EXPECT_TRUE(server.wait_not_publishing(kKey, 10s, &last)) << last;

	// With auto-start off, the main stream's start leaves the vertical one alone, but its stop
	// ends a vertical stream started by hand; so does the host's exit.
	set_auto_start_with_main(false);
	for (const auto event : {OBS_FRONTEND_EVENT_STREAMING_STOPPED, OBS_FRONTEND_EVENT_EXIT}) {
		ASSERT_TRUE(output->start());
		ASSERT_TRUE(server.wait_publishing(kKey, 15s, &last)) << last;
		const size_t before = LogCapture::get().mark();
		on_frontend_event(OBS_FRONTEND_EVENT_STREAMING_STARTING, nullptr);
		EXPECT_TRUE(bltest::module_lines(before).empty());
		on_frontend_event(event, nullptr);
		EXPECT_TRUE(stopped()) << "event " << event;
		EXPECT_TRUE(server.wait_not_publishing(kKey, 10s, &last)) << last;
	}
}
