#pragma once

#include <algorithm>
#include <cctype>
#include <string>

namespace brasslight {

// The text without the leading and trailing bytes that isspace() (default locale) accepts: what
// a typed name, URL or key means.
inline std::string trimmed(const std::string &text)
{
	auto is_space = [](char c) {
		return std::isspace(static_cast<unsigned char>(c)) != 0;
	};
	auto first = std::find_if_not(text.begin(), text.end(), is_space);
	auto last = std::find_if_not(text.rbegin(), text.rend(), is_space).base();
	return first < last ? std::string(first, last) : std::string();
}

} // namespace brasslight
