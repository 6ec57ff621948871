#include "host-objects.hpp"

#include <graphics/vec2.h>

namespace bltest {

OBSSourceAutoRelease make_colour_source(const std::string &name, uint32_t colour, uint32_t width, uint32_t height)
{
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_int(settings, "color", colour);
	obs_data_set_int(settings, "width", width);
	obs_data_set_int(settings, "height", height);
	return obs_source_create("color_source_v3", name.c_str(), settings, nullptr);
}

OBSSceneAutoRelease make_band_scene(const std::string &name)
{
	obs_video_info ovi = {};
	obs_get_video_info(&ovi);
	OBSSceneAutoRelease scene = obs_scene_create(name.c_str());
	const uint32_t colours[] = {kRed, kGreen, kBlue};
	const char *names[] = {"red", "green", "blue"};
	uint32_t x = 0;
	for (int i = 0; i < 3; ++i) {
		const uint32_t end = ovi.base_width * static_cast<uint32_t>(i + 1) / 3;
		OBSSourceAutoRelease band =
			make_colour_source(name + " " + names[i], colours[i], end - x, ovi.base_height);
		obs_sceneitem_t *item = obs_scene_add(scene, band);
		vec2 pos;
		vec2_set(&pos, static_cast<float>(x), 0.0f);
		obs_sceneitem_set_pos(item, &pos);
		x = end;
	}
	return scene;
}

} // namespace bltest
