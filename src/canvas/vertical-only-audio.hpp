#pragma once

// The sound of sources that only the vertical canvas shows.
//
// The host mixes its audio tracks from the sources on its main view's output channels (the program
// scene, the desktop and microphone devices) and what those reach; a source that only the vertical
// canvas's view shows is never mixed, so it is silent on track 6 as well. This puts an audio-only
// source of the module's own on a free output channel of the main view. It has no video, so the
// main view draws nothing for it; its sound is the track-6 sound of the sources it is given, and
// nothing on any other track, so the main stream does not hear them unless the user puts them in a
// main scene. It lists those sources as its active children: the host then renders their audio
// before its own in each audio tick, and they count as active as long as they are mixed (the
// host's mixer shows them, with their volume and mute).

#include <cstdint>
#include <vector>

#include <obs.hpp>

namespace brasslight {

class VerticalOnlyAudio {
public:
	// Registers the source type if needed and puts the source on the highest free output channel.
	VerticalOnlyAudio();
	// Off its channel (its children become inactive with it) and released.
	~VerticalOnlyAudio();
	VerticalOnlyAudio(const VerticalOnlyAudio &) = delete;
	VerticalOnlyAudio &operator=(const VerticalOnlyAudio &) = delete;

	// The sources to mix, in place of the previous ones; back on a free channel if something took
	// it away. Called by the canvas under its lock.
	void set_sources(const std::vector<obs_source_t *> &sources);
	// The channel it is on; the canvas leaves it out when it looks for what the main view reaches.
	// -1: none.
	int channel() const { return on_channel; }

private:
	void take_free_channel();

	OBSSourceAutoRelease source;
	int on_channel = -1;
};

} // namespace brasslight
