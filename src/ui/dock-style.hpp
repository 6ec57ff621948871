#pragma once

namespace brasslight {

// The dock's small grey text: the scene-list caption and the stream's idle lines.
inline constexpr const char *kSmallGrey = "font-size: 11px; color: #888;";

} // namespace brasslight
