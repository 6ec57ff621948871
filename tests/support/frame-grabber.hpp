#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <obs.hpp>

namespace bltest {

struct Rgb {
	int r, g, b;
};

// A copy of one frame of a host video mix, converted to RGBA by the host's own scaler.
struct Frame {
	uint32_t width = 0;
	uint32_t height = 0;
	std::vector<uint8_t> rgba;

	Rgb at(uint32_t x, uint32_t y) const;
};

// Which of the pure colours a pixel is closest to ("red", "green", "blue", "black", "white"),
// tolerant of the YUV round trip and of filtering.
std::string colour_name(const Rgb &pixel);

// Receives real frames of a video mix (the main one or a view's) for as long as it lives, through
// a raw-video output of the test's own: the host renders a view's mix only while an output or an
// encoder uses it.
class FrameGrabber {
public:
	explicit FrameGrabber(video_t *video);
	~FrameGrabber();
	FrameGrabber(const FrameGrabber &) = delete;
	FrameGrabber &operator=(const FrameGrabber &) = delete;

	// A frame that was rendered after this call, skipping `settle` frames first so that a
	// change made just before has reached the mix. False when none comes within the time-out.
	bool next_frame(Frame &out, int settle = 3, std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
	static void register_type();
	static bool start_capture(void *data);
	static void stop_capture(void *data, uint64_t ts);
	static void on_frame(void *data, video_data *frame);

	OBSOutputAutoRelease output;
	uint32_t width;
	uint32_t height;
	mutable std::mutex mutex;
	std::condition_variable arrived;
	uint64_t count = 0;
	Frame latest;
};

} // namespace bltest
