#pragma once

#include <string>

namespace brasslight {

// A modal message box with one OK button (and none preselected, so that a key pressed for
// something else does not dismiss it unread). On the user-interface thread; from other threads,
// post it there.
void show_critical_box(const std::string &title, const std::string &text);
void show_information_box(const std::string &title, const std::string &text);

} // namespace brasslight
