#include "mux/mux-output.hpp"

#include <obs-module.h>

namespace brasslight {

namespace {

const char *mux_get_name(void *)
{
	return kMuxOutputName;
}

void *mux_create(obs_data_t *, obs_output_t *output)
{
	return output;
}

void mux_destroy(void *) {}

bool mux_start(void *)
{
	return false;
}

void mux_stop(void *, uint64_t) {}

void mux_encoded_packet(void *, struct encoder_packet *) {}

} // namespace

void register_mux_output_type()
{
	static obs_output_info info = [] {
		obs_output_info i = {};
		i.id = kMuxOutputId;
		i.flags = OBS_OUTPUT_VIDEO | OBS_OUTPUT_AUDIO | OBS_OUTPUT_ENCODED;
		i.get_name = mux_get_name;
		i.create = mux_create;
		i.destroy = mux_destroy;
		i.start = mux_start;
		i.stop = mux_stop;
		i.encoded_packet = mux_encoded_packet;
		return i;
	}();
	obs_register_output_s(&info, sizeof(info));
}

} // namespace brasslight
