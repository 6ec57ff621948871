#include "common/log.hpp"

#include <cstdarg>
#include <cstdio>

namespace brasslight {

void log_msg(int level, const char *format, ...)
{
	// One formatted buffer and one call into the host keep the tag and the message on the same
	// line even when other threads log at the same time.
	char message[4096];
	va_list args;
	va_start(args, format);
	vsnprintf(message, sizeof(message), format, args);
	va_end(args);
	blog(level, "[%s] %s", kModuleTag, message);
}

} // namespace brasslight
