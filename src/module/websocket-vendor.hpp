#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <obs.h>

#include "common/ui-thread.hpp"
#include "runtime/action-result.hpp"

class QTimer;
struct proc_handler;

namespace brasslight {

class Runtime;

// Remote control through the host's obs-websocket (5.x): a vendor "brasslight-vertical" whose
// requests clients call with CallVendorRequest (GetStatus, StartStream, StopStream, GetSlots,
// SetActiveSlot, AddSlot, RemoveSlot, RenameSlot, AssignScene, GetDestinations, AddDestination,
// RemoveDestination, SetDestinationEnabled, StartDestination, StopDestination, StartRecording,
// StopRecording, StartReplayBuffer, StopReplayBuffer, SaveReplay), and the vendor events
// StreamStateChanged, ActiveSlotChanged, DestinationStateChanged, RecordingStateChanged and
// ReplaySaved. A refused request answers with a response field
// "error" holding the reason. The requests go through the runtime's actions, as the dock's do.
//
// Made and destroyed on the user-interface thread: registered once the host has finished loading
// (obs-websocket offers its interface only then), unregistered at the host's exit, while
// obs-websocket still exists (it may be unloaded before this module). Requests arrive on
// obs-websocket's threads and run on the user-interface thread; each waits for its answer at most
// kRequestBound and holds no lock while it waits.
class WebSocketVendor {
public:
	explicit WebSocketVendor(Runtime &runtime);
	~WebSocketVendor();
	WebSocketVendor(const WebSocketVendor &) = delete;
	WebSocketVendor &operator=(const WebSocketVendor &) = delete;

	// Sends StreamStateChanged and ActiveSlotChanged for whatever changed since the last look;
	// runs every 250 ms and after every slot change.
	void send_changed_events();
	// The replay buffer wrote a clip: ReplaySaved, and the answer of a SaveReplay that waits.
	void replay_saved(const std::string &path);

	using Handler = void (WebSocketVendor::*)(obs_data_t *request, obs_data_t *response);
	// The part of a request that waits for the host after its work on the user-interface thread;
	// on the request's own thread, with the answer so far.
	using Finisher = void (WebSocketVendor::*)(obs_data_t *response);
	struct Request;
	struct RequestType {
		const char *type;
		Handler handler;
		Finisher finish;
	};

private:
	// Every request: its type, the work on the user-interface thread, what waits after it.
	static const std::vector<RequestType> &request_table();
	static void on_request(obs_data_t *request, obs_data_t *response, void *priv);
	void emit_event(const char *type, obs_data_t *data);

	template<ActionResult (Runtime::*action)()> void act(obs_data_t *request, obs_data_t *response);
	template<const char *field_name, ActionResult (Runtime::*action)(const std::string &)>
	void named(obs_data_t *request, obs_data_t *response);
	void get_status(obs_data_t *request, obs_data_t *response);
	void get_slots(obs_data_t *request, obs_data_t *response);
	void rename_slot(obs_data_t *request, obs_data_t *response);
	void assign_scene(obs_data_t *request, obs_data_t *response);
	void get_destinations(obs_data_t *request, obs_data_t *response);
	void add_destination(obs_data_t *request, obs_data_t *response);
	void set_destination_enabled(obs_data_t *request, obs_data_t *response);
	void stop_recording(obs_data_t *request, obs_data_t *response);
	void wait_for_recording_end(obs_data_t *response);
	void save_replay(obs_data_t *request, obs_data_t *response);
	void wait_for_replay(obs_data_t *response);
	void put_destinations(obs_data_t *response);

	Runtime &runtime;
	// obs-websocket's own procedure handler and our vendor on it; null when it is not there.
	proc_handler *websocket = nullptr;
	void *vendor = nullptr;
	// What obs-websocket's vendor_request_register is handed; it may keep the pointers.
	std::vector<std::unique_ptr<Request>> requests;
	std::unique_ptr<QTimer> event_timer;
	std::string last_state;
	std::string last_active_slot;
	std::map<std::string, std::string> last_destination_states;
	bool last_recording = false;
	// Clips written so far, and the last one's path: what a waiting SaveReplay looks at.
	std::mutex saved_mutex;
	std::condition_variable saved_changed;
	uint64_t saved_count = 0;
	std::string saved_path;
	// Declared last: what a request posted and did not run yet goes first.
	UiQueue ui;
};

} // namespace brasslight
