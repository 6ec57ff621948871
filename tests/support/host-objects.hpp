#pragma once

#include <cstdint>
#include <string>

#include <graphics/vec2.h>
#include <obs.hpp>

namespace bltest {

// Colours as the host's colour source takes them: 0xAABBGGRR.
inline constexpr uint32_t kRed = 0xff0000ff;
inline constexpr uint32_t kGreen = 0xff00ff00;
inline constexpr uint32_t kBlue = 0xffff0000;

inline OBSSourceAutoRelease make_colour_source(const std::string &name, uint32_t colour, uint32_t width,
					       uint32_t height)
{
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_int(settings, "color", colour);
	obs_data_set_int(settings, "width", width);
	obs_data_set_int(settings, "height", height);
	return obs_source_create("color_source_v3", name.c_str(), settings, nullptr);
}

// A public host scene, let go as the host app lets go of one: removed first. Hosts 31 and later
// list public scenes in their main canvas until removed; one released without that keeps its name
// taken and is freed a second time at shutdown.
inline void remove_and_release_scene(obs_scene_t *scene)
{
	if (scene)
		obs_source_remove(obs_scene_get_source(scene));
	obs_scene_release(scene);
}
using PublicScene = OBSRefAutoRelease<obs_scene_t *, remove_and_release_scene>;

// A public host scene of the main canvas's size: red, green and blue bands, a third wide each.
inline PublicScene make_band_scene(const std::string &name)
{
	obs_video_info ovi = {};
	obs_get_video_info(&ovi);
	PublicScene scene = obs_scene_create(name.c_str());
	const uint32_t colours[] = {kRed, kGreen, kBlue};
	for (uint32_t i = 0, x = 0; i < 3; ++i) {
		const uint32_t end = ovi.base_width * (i + 1) / 3;
		OBSSourceAutoRelease band =
			make_colour_source(name + " " + std::to_string(i), colours[i], end - x, ovi.base_height);
		const vec2 pos = {{{static_cast<float>(x), 0.0f}}};
		obs_sceneitem_set_pos(obs_scene_add(scene, band), &pos);
		x = end;
	}
	return scene;
}

} // namespace bltest
