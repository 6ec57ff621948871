#include "common/log.hpp"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "common/strings.hpp"

namespace brasslight {

namespace {

// Names in a log line are the user's or a client's: a line break in one would forge a line of the
// host's log (which users upload when they ask for help), so control characters are written as
// escapes.
std::string escaped(const char *text)
{
	std::string out;
	for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
		char escape[8] = {};
		if (*p < 0x20 || *p == 0x7F)
			snprintf(escape, sizeof(escape), "\\x%02X", *p);
		else if (p[0] == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) // C1 controls
			snprintf(escape, sizeof(escape), "\\u%04X", p[1]);
		else if (p[0] == 0xE2 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9)) // line, paragraph separator
			snprintf(escape, sizeof(escape), "\\u%04X", 0x2000 + (p[2] - 0x80));
		if (!escape[0]) {
			out += static_cast<char>(*p);
			continue;
		}
		out += escape;
		p += *p < 0x80 ? 0 : (p[0] == 0xC2 ? 1 : 2);
	}
	return out;
}

} // namespace

void log_msg(int level, const char *format, ...)
{
	// One formatted buffer and one call into the host keep the tag and the message on the same
	// line even when other threads log at the same time.
	char message[4096];
	va_list args;
	va_start(args, format);
	vsnprintf(message, sizeof(message), format, args);
	va_end(args);
	blog(level, "[%s] %s", kModuleTag, escaped(message).c_str());
}

std::string url_for_log(const std::string &typed)
{
	const std::string url = trimmed(typed);
	// Only what says where the stream goes: the scheme, the host and port, and the application.
	// A user name and password before the host, a query (?token=...) and any path after the
	// application (where some services put the key) stay out of the log.
	const size_t scheme_end = url.find("://");
	const size_t authority = scheme_end == std::string::npos ? 0 : scheme_end + 3;
	const size_t rest = url.find_first_of("/?#", authority);
	std::string host = url.substr(authority, rest == std::string::npos ? std::string::npos : rest - authority);
	const size_t at = host.rfind('@');
	if (at != std::string::npos)
		host.erase(0, at + 1);
	std::string app;
	if (rest != std::string::npos && url[rest] == '/') {
		const size_t app_end = url.find_first_of("/?#", rest + 1);
		app = url.substr(rest, app_end == std::string::npos ? std::string::npos : app_end - rest);
	}
	return url.substr(0, authority) + host + app;
}

} // namespace brasslight
