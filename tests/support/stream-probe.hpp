#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace bltest {

// One stream as ffprobe describes it.
struct ProbedStream {
	int index = -1;
	std::string codec_type; // "video" or "audio"
	std::string codec_name; // "h264", "aac", ...
	int width = 0;
	int height = 0;
	std::string avg_frame_rate; // "30/1"
	int sample_rate = 0;
	int channels = 0;
};

struct ProbeResult {
	bool ok = false;
	std::string error; // ffprobe's output when it failed or ran out of time
	std::vector<ProbedStream> streams;
	const ProbedStream *first(const std::string &codec_type) const;
	std::string describe() const;
};

// The stream this project sends: H.264 video of width x height at avg_frame_rate ("30/1") and
// AAC stereo audio at 48 kHz. On a mismatch the message names the difference and the probe.
::testing::AssertionResult carries_h264_and_aac(const ProbeResult &probe, int width, int height,
						const std::string &avg_frame_rate);

// Runs ffprobe on a URL (an RTMP play URL or a file), killed after timeout.
ProbeResult probe_stream(const std::string &url, std::chrono::milliseconds timeout);

} // namespace bltest
