#pragma once

#include <string>

namespace brasslight {

// Shows a message box on the user-interface thread, from any thread, without waiting for it:
// the call is queued on the application object and the box owns copies of its texts. Does
// nothing when there is no application object (a host without its front end).
void post_critical_box(const std::string &title, const std::string &text);
void post_information_box(const std::string &title, const std::string &text);

} // namespace brasslight
