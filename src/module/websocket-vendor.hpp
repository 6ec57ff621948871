#pragma once

namespace brasslight {

// Remote control through the host's obs-websocket (5.x): a vendor "brasslight-vertical" whose
// requests clients call with CallVendorRequest (GetStatus, StartStream, StopStream, GetSlots,
// SetActiveSlot, AddSlot, RemoveSlot, RenameSlot, AssignScene), and the vendor events
// StreamStateChanged and ActiveSlotChanged. A refused request answers with a response field
// "error" holding the reason. The slot and stream requests go through the same actions as the
// dock's buttons.
//
// The requests run on obs-websocket's own threads, under the runtime lock; the functions below
// run on the user-interface thread.

// Registers the vendor and its requests and starts watching for events to send. Once the host has
// finished loading (obs-websocket offers its interface only then). Without obs-websocket, logs
// one line and does nothing else.
void register_websocket_vendor();
// Unregisters every request and stops the events. Called at the host's exit, while obs-websocket
// still exists (it may be unloaded before this module), and never under the runtime lock: a
// request in flight waits for that lock, and the websocket may wait for the request.
void unregister_websocket_vendor();
// Sends StreamStateChanged and ActiveSlotChanged for whatever changed since the last look; runs
// every 250 ms and after every slot change.
void send_changed_events();

} // namespace brasslight
