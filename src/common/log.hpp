#pragma once

#include <string>

#include <util/base.h>

namespace brasslight {

// The tag every non-UI log line of the module starts with, and the name the host derives the
// module's configuration folder from.
inline constexpr const char *kModuleTag = "brasslight-obs-vertical";

// Writes one line to the host's log as "[brasslight-obs-vertical] " followed by the formatted
// message, at one of the host's levels (LOG_ERROR, LOG_WARNING, LOG_INFO). Control characters in
// the message (from a name) are written as escapes: one call, one line.
void log_msg(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// A stream URL as it may be logged: scheme, host, port and application only (no credentials, no
// query, nothing after the application).
std::string url_for_log(const std::string &url);

} // namespace brasslight
