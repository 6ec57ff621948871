#pragma once

#include <cstdint>
#include <string>

#include <obs.hpp>

namespace bltest {

// Colours as the host's colour source takes them: 0xAABBGGRR.
inline constexpr uint32_t kRed = 0xff0000ff;
inline constexpr uint32_t kGreen = 0xff00ff00;
inline constexpr uint32_t kBlue = 0xffff0000;

// A public colour source of the host's image-source plug-in.
OBSSourceAutoRelease make_colour_source(const std::string &name, uint32_t colour, uint32_t width, uint32_t height);

// A public host scene of the main canvas's size: red, green and blue bands, a third wide each.
OBSSceneAutoRelease make_band_scene(const std::string &name);

} // namespace bltest
