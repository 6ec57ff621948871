#include "runtime/slot-names.hpp"

#include <cstdint>
#include <strings.h>

#include "common/strings.hpp"

namespace brasslight {

namespace {

// The code point of the UTF-8 sequence at text[at], and its length in bytes; length 0 for a
// sequence that is not valid UTF-8 (truncated, overlong, a surrogate, beyond U+10FFFF).
uint32_t decode(const std::string &text, size_t at, size_t &length)
{
	const auto byte = [&](size_t i) {
		return static_cast<uint8_t>(text[i]);
	};
	const uint8_t lead = byte(at);
	length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
	if (length == 0 || at + length > text.size()) {
		length = 0;
		return 0;
	}
	uint32_t cp = length == 1 ? lead : lead & (0x7F >> length);
	for (size_t i = 1; i < length; ++i) {
		if ((byte(at + i) & 0xC0) != 0x80) {
			length = 0;
			return 0;
		}
		cp = (cp << 6) | (byte(at + i) & 0x3F);
	}
	static const uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
	if (cp < kShortest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
		length = 0;
	return cp;
}

bool is_control(uint32_t cp)
{
	return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029;
}

} // namespace

std::string slot_name_problem(const std::string &name, const char *what)
{
	const std::string the = std::string("the ") + what + " name";
	size_t characters = 0;
	for (size_t at = 0, length = 0; at < name.size(); at += length, ++characters) {
		const uint32_t cp = decode(name, at, length);
		if (length == 0)
			return the + " is not valid UTF-8 text";
		if (is_control(cp))
			return the + " contains a line break or another control character";
	}
	if (characters > kMaxSlotNameLength)
		return the + " is longer than " + std::to_string(kMaxSlotNameLength) + " characters";
	return {};
}

std::string usable_slot_name(const std::string &name)
{
	std::string out;
	size_t characters = 0;
	for (size_t at = 0, length = 0; at < name.size() && characters < kMaxSlotNameLength;
	     at += length ? length : 1, ++characters) {
		const uint32_t cp = decode(name, at, length);
		if (length == 0 || is_control(cp))
			out += ' ';
		else
			out.append(name, at, length);
	}
	out = trimmed(out);
	return out.empty() ? "Slot" : out;
}

bool same_slot_name(const std::string &a, const std::string &b)
{
	return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

} // namespace brasslight
