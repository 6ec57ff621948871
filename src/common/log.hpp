#pragma once

#include <util/base.h>

namespace brasslight {

// The tag every non-UI log line of the module starts with, and the name the host derives the
// module's configuration folder from.
inline constexpr const char *kModuleTag = "brasslight-obs-vertical";

// Writes one line to the host's log as "[brasslight-obs-vertical] " followed by the formatted
// message, at one of the host's levels (LOG_ERROR, LOG_WARNING, LOG_INFO).
void log_msg(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

} // namespace brasslight
