#include "module/dock-registration.hpp"

namespace brasslight {

void register_dock() {}
void refresh_dock() {}
void detach_dock() {}
void save_dock_state() {}
void drop_dock() {}

} // namespace brasslight
