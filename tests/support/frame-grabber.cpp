#include "frame-grabber.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bltest {

namespace {
constexpr const char *kGrabberType = "bltest_frame_grabber";
}

Rgb Frame::at(uint32_t x, uint32_t y) const
{
	const size_t offset = (static_cast<size_t>(y) * width + x) * 4;
	return {rgba[offset], rgba[offset + 1], rgba[offset + 2]};
}

std::string colour_name(const Rgb &p)
{
	// Each channel high (above 160) or low (below 90) makes a pure colour.
	std::string levels;
	for (const int v : {p.r, p.g, p.b})
		levels += v > 160 ? 'H' : v < 90 ? 'L' : '?';
	for (const auto &[pattern, name] :
	     {std::pair {"HLL", "red"}, {"LHL", "green"}, {"LLH", "blue"}, {"LLL", "black"}, {"HHH", "white"}})
		if (levels == pattern)
			return name;
	char text[48];
	snprintf(text, sizeof(text), "rgb(%d,%d,%d)", p.r, p.g, p.b);
	return text;
}

void FrameGrabber::register_type()
{
	static const bool registered = [] {
		obs_output_info info = {};
		info.id = kGrabberType;
		info.flags = OBS_OUTPUT_VIDEO;
		info.get_name = [](void *) {
			return "Test frame grabber";
		};
		// The grabber travels in the settings: create is given nothing else of ours.
		info.create = [](obs_data_t *settings, obs_output_t *) -> void * {
			return reinterpret_cast<void *>(static_cast<intptr_t>(obs_data_get_int(settings, "grabber")));
		};
		info.destroy = [](void *) {
		};
		info.start = &FrameGrabber::start_capture;
		info.stop = &FrameGrabber::stop_capture;
		info.raw_video = &FrameGrabber::on_frame;
		obs_register_output(&info);
		return true;
	}();
	(void)registered;
}

bool FrameGrabber::start_capture(void *data)
{
	obs_output_t *out = static_cast<FrameGrabber *>(data)->output;
	return obs_output_can_begin_data_capture(out, OBS_OUTPUT_VIDEO) &&
	       obs_output_begin_data_capture(out, OBS_OUTPUT_VIDEO);
}

void FrameGrabber::stop_capture(void *data, uint64_t)
{
	obs_output_end_data_capture(static_cast<FrameGrabber *>(data)->output);
}

FrameGrabber::FrameGrabber(video_t *video)
{
	register_type();
	const video_output_info *info = video_output_get_info(video);
	width = info->width;
	height = info->height;

	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_int(settings, "grabber", static_cast<long long>(reinterpret_cast<intptr_t>(this)));
	output = obs_output_create(kGrabberType, "bltest frame grabber", settings, nullptr);
	obs_output_set_media(output, video, obs_get_audio());
	video_scale_info conversion = {};
	conversion.format = VIDEO_FORMAT_RGBA;
	conversion.width = width;
	conversion.height = height;
	conversion.range = VIDEO_RANGE_FULL;
	conversion.colorspace = info->colorspace;
	obs_output_set_video_conversion(output, &conversion);
	if (!obs_output_start(output)) {
		fprintf(stderr, "frame grabber: the output did not start\n");
		std::abort();
	}
}

FrameGrabber::~FrameGrabber()
{
	obs_output_stop(output);
	// Destroying the output waits for its capture to end: no frame arrives after this.
	output = nullptr;
}

void FrameGrabber::on_frame(void *data, video_data *frame)
{
	auto *self = static_cast<FrameGrabber *>(data);
	std::lock_guard<std::mutex> lock(self->mutex);
	self->latest.width = self->width;
	self->latest.height = self->height;
	self->latest.rgba.resize(static_cast<size_t>(self->width) * self->height * 4);
	for (uint32_t y = 0; y < self->height; ++y)
		memcpy(&self->latest.rgba[static_cast<size_t>(y) * self->width * 4],
		       frame->data[0] + static_cast<size_t>(y) * frame->linesize[0],
		       static_cast<size_t>(self->width) * 4);
	++self->count;
	self->arrived.notify_all();
}

bool FrameGrabber::next_frame(Frame &out, int settle, std::chrono::milliseconds timeout)
{
	std::unique_lock<std::mutex> lock(mutex);
	const uint64_t wanted = count + static_cast<uint64_t>(settle) + 1;
	if (!arrived.wait_for(lock, timeout, [&] { return count >= wanted; }))
		return false;
	out = latest;
	return true;
}

} // namespace bltest
