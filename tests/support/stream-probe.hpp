#pragma once

#include <string>

#include <gtest/gtest.h>

namespace bltest {

// What ffprobe finds at url (an RTMP play URL or a file) within 20 s is the stream this project
// sends and nothing else: H.264 video of width x height at avg_frame_rate ("30/1") and AAC stereo
// audio at 48 kHz. On a mismatch the message gives what ffprobe said.
::testing::AssertionResult carries_h264_and_aac(const std::string &url, int width, int height,
						const std::string &avg_frame_rate);

} // namespace bltest
