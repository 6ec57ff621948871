#pragma once

namespace brasslight {

inline constexpr const char *kMuxOutputId = "bl_vertical_mux_rtmp";
inline constexpr const char *kMuxOutputName = "Vertical RTMP Mux (stereo)";

// Registers the output type with the host. Unconditional and never undone.
void register_mux_output_type();

} // namespace brasslight
