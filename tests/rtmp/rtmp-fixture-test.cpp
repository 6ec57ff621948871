// The RTMP server fixture itself: the other test programs trust what it reports.

#include <gtest/gtest.h>

#include "rtmp-server.hpp"
#include "stream-probe.hpp"

namespace bltest {
namespace {

constexpr auto kPublishTimeout = std::chrono::seconds(10);
constexpr auto kProbeTimeout = std::chrono::seconds(15);

TEST(RtmpServerFixture, RelaysAPublishedStreamAndSurvivesAKillOnTheSamePort)
{
	RtmpServer server;
	ASSERT_TRUE(server.start());
	const uint16_t port = server.rtmp_port();

	CliPublisher publisher;
	std::string error;
	ASSERT_TRUE(publisher.start(server.play_url("fixture"), 320, 240, 30, &error)) << error;
	std::string seen;
	ASSERT_TRUE(server.wait_publishing("fixture", kPublishTimeout, &seen)) << seen << "\n" << publisher.output();

	ProbeResult probe = probe_stream(server.play_url("fixture"), kProbeTimeout);
	EXPECT_TRUE(carries_h264_and_aac(probe, 320, 240, "30/1"));

	StreamStat stat = server.stream("fixture");
	EXPECT_GT(stat.bytes_in, 0u);
	EXPECT_EQ(stat.width, 320);
	EXPECT_EQ(stat.video_codec, "H264");

	TempDir dir("bl-frame");
	EXPECT_TRUE(grab_frame_png(server.play_url("fixture"), dir.file("frame.png"), kProbeTimeout, &error)) << error;

	// A killed server drops its publisher at once; the publisher notices and gives up.
	server.kill();
	EXPECT_FALSE(server.running());
	EXPECT_FALSE(port_accepts(port));
	EXPECT_TRUE(publisher.wait_exit(kPublishTimeout).has_value()) << "the ffmpeg publisher outlived the server";

	ASSERT_TRUE(server.restart());
	EXPECT_EQ(server.rtmp_port(), port);
	EXPECT_FALSE(server.stream("fixture").present) << "a restarted server starts without streams";

	ASSERT_TRUE(publisher.start(server.play_url("again"), 160, 120, 10, &error)) << error;
	EXPECT_TRUE(server.wait_publishing("again", kPublishTimeout, &seen)) << seen;
	server.stop();
	EXPECT_FALSE(port_accepts(port));
}

TEST(RtmpServerFixture, TlsFrontTrustsOnlyItsOwnCa)
{
	RtmpServer server(RtmpServer::Options {true});
	ASSERT_TRUE(server.start());
	const std::vector<std::string> publish = {"ffmpeg",
						  "-hide_banner",
						  "-nostdin",
						  "-loglevel",
						  "error",
						  "-f",
						  "lavfi",
						  "-i",
						  "testsrc=size=160x120:rate=10",
						  "-t",
						  "1",
						  "-c:v",
						  "libx264",
						  "-preset",
						  "ultrafast",
						  "-f",
						  "flv",
						  "-tls_verify",
						  "1"};

	std::vector<std::string> untrusted = publish;
	untrusted.push_back(server.rtmps_url() + "/untrusted");
	CommandResult refused = run_command(untrusted, kPublishTimeout);
	EXPECT_NE(refused.exit_code, 0) << refused.output;
	EXPECT_NE(refused.output.find("certificate"), std::string::npos) << refused.output;

	std::vector<std::string> trusted = publish;
	trusted.insert(trusted.end(), {"-ca_file", server.ca_file(), server.rtmps_url() + "/trusted"});
	CommandResult accepted = run_command(trusted, kPublishTimeout);
	EXPECT_EQ(accepted.exit_code, 0) << accepted.output;
}

TEST(RtmpServerFixture, SilentServerHoldsConnectionsWithoutAnswering)
{
	SilentServer silent;
	ASSERT_TRUE(silent.ok());
	// ffprobe's own time-out ends the play attempt; the server must have accepted it.
	ProbeResult probe = probe_stream(silent.rtmp_url() + "/x", std::chrono::seconds(2));
	EXPECT_FALSE(probe.ok);
	EXPECT_GE(silent.accepted(), 1);
}

} // namespace
} // namespace bltest
