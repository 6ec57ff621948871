#pragma once

#include <obs-frontend-api.h>

namespace brasslight {

// The front-end event callback registered at load. Takes the runtime lock for the whole
// dispatch; an event that arrives while another is being handled is dropped.
void on_frontend_event(enum obs_frontend_event event, void *private_data);

// Restores the stored scene list into the canvas and assigns each slot's host scene again, now
// that the host's scenes exist. Runs under the runtime lock.
void reapply_scene_sources();

} // namespace brasslight
