// The requests of the vendor "brasslight-vertical": each runs on the user-interface thread with a
// request and a response of its own (websocket-vendor.cpp brings it there), and goes through the
// runtime's actions, as the dock's buttons do.

#include "module/websocket-vendor.hpp"

#include <thread>

#include <obs.hpp>

#include "canvas/vertical-canvas.hpp"
#include "module/websocket-shared.hpp"
#include "output/vertical-output.hpp"
#include "runtime/runtime.hpp"

namespace brasslight {

namespace {

using websocket::fail;
using websocket::kRequestBound;
using websocket::state_name;

constexpr char kSlotName[] = "slotName";
constexpr char kDestinationName[] = "destinationName";
// How long StopRecording and SaveReplay wait for the host to finish a file.
constexpr auto kFileBound = std::chrono::seconds(15);

// The bitrate the video encoder runs at, which a settings save while streaming changes at once.
long long video_bitrate_kbps(const VerticalOutput *controller)
{
	obs_output_t *handle = controller ? controller->output_handle() : nullptr;
	obs_encoder_t *video = handle ? obs_output_get_video_encoder(handle) : nullptr;
	if (!video)
		return 0;
	OBSDataAutoRelease settings = obs_encoder_get_settings(video);
	return obs_data_get_int(settings, "bitrate");
}

// Host 29's obs.hpp has no holder for a data item.
struct DataItemRelease {
	void operator()(obs_data_item_t *item) const { obs_data_item_release(&item); }
};
using DataItemPtr = std::unique_ptr<obs_data_item_t, DataItemRelease>;

void answer(obs_data_t *response, const ActionResult &result)
{
	if (!result.ok)
		fail(response, result.error);
}

// A boolean field; on false the response already holds the error.
bool typed_bool(obs_data_t *request, obs_data_t *response, const char *name, bool required, bool fallback, bool &value)
{
	DataItemPtr item(request ? obs_data_item_byname(request, name) : nullptr);
	if (!item || !obs_data_item_has_user_value(item.get())) {
		value = fallback;
		if (required)
			fail(response, std::string("missing field \"") + name + "\"");
		return !required;
	}
	if (obs_data_item_gettype(item.get()) != OBS_DATA_BOOLEAN) {
		fail(response, std::string("field \"") + name + "\" must be true or false");
		return false;
	}
	value = obs_data_item_get_bool(item.get());
	return true;
}

bool required_bool(obs_data_t *request, obs_data_t *response, const char *name, bool &value)
{
	return typed_bool(request, response, name, true, false, value);
}

bool optional_bool(obs_data_t *request, obs_data_t *response, const char *name, bool fallback, bool &value)
{
	return typed_bool(request, response, name, false, fallback, value);
}

// A required string field; on false the response already holds the error. A field of another type
// is refused, not read as "" (which would clear an assignment).
bool field(obs_data_t *request, obs_data_t *response, const char *name, std::string &value)
{
	DataItemPtr item(request ? obs_data_item_byname(request, name) : nullptr);
	if (!item || !obs_data_item_has_user_value(item.get())) {
		fail(response, std::string("missing field \"") + name + "\"");
		return false;
	}
	if (obs_data_item_gettype(item.get()) != OBS_DATA_STRING) {
		fail(response, std::string("field \"") + name + "\" must be a string");
		return false;
	}
	value = obs_data_item_get_string(item.get());
	return true;
}

} // namespace

const std::vector<WebSocketVendor::RequestType> &WebSocketVendor::request_table()
{
	static const std::vector<RequestType> table = {
		{"GetStatus", &WebSocketVendor::get_status, nullptr},
		{"StartStream", &WebSocketVendor::act<&Runtime::start_stream>, nullptr},
		{"StopStream", &WebSocketVendor::act<&Runtime::stop_stream>, nullptr},
		{"GetSlots", &WebSocketVendor::get_slots, nullptr},
		{"SetActiveSlot", &WebSocketVendor::named<kSlotName, &Runtime::activate_slot>, nullptr},
		{"AddSlot", &WebSocketVendor::named<kSlotName, &Runtime::add_slot>, nullptr},
		{"RemoveSlot", &WebSocketVendor::named<kSlotName, &Runtime::remove_slot>, nullptr},
		{"RenameSlot", &WebSocketVendor::rename_slot, nullptr},
		{"AssignScene", &WebSocketVendor::assign_scene, nullptr},
		{"GetDestinations", &WebSocketVendor::get_destinations, nullptr},
		{"AddDestination", &WebSocketVendor::add_destination, nullptr},
		{"RemoveDestination", &WebSocketVendor::named<kDestinationName, &Runtime::remove_destination>, nullptr},
		{"SetDestinationEnabled", &WebSocketVendor::set_destination_enabled, nullptr},
		{"StartDestination", &WebSocketVendor::named<kDestinationName, &Runtime::start_destination>, nullptr},
		{"StopDestination", &WebSocketVendor::named<kDestinationName, &Runtime::stop_destination>, nullptr},
		{"StartRecording", &WebSocketVendor::act<&Runtime::start_recording>, nullptr},
		{"StopRecording", &WebSocketVendor::stop_recording, &WebSocketVendor::wait_for_recording_end},
		{"StartReplayBuffer", &WebSocketVendor::act<&Runtime::start_replay_buffer>, nullptr},
		{"StopReplayBuffer", &WebSocketVendor::act<&Runtime::stop_replay_buffer>, nullptr},
		{"SaveReplay", &WebSocketVendor::save_replay, &WebSocketVendor::wait_for_replay},
	};
	return table;
}

// A request that only asks for an action, and answers with what it did.
template<ActionResult (Runtime::*action)()> void WebSocketVendor::act(obs_data_t *, obs_data_t *response)
{
	answer(response, (runtime.*action)());
}

// A request that names one slot or destination in `field_name`.
template<const char *field_name, ActionResult (Runtime::*action)(const std::string &)>
void WebSocketVendor::named(obs_data_t *request, obs_data_t *response)
{
	std::string name;
	if (field(request, response, field_name, name))
		answer(response, (runtime.*action)(name));
}

void WebSocketVendor::get_status(obs_data_t *, obs_data_t *response)
{
	const VerticalOutput *output = runtime.output();
	const VerticalCanvas *canvas = runtime.canvas();
	const MuxStatus status = output ? output->stream_status() : MuxStatus();
	obs_data_set_string(response, "state", state_name(status.state));
	if (canvas) {
		const CanvasConfig &config = canvas->config();
		obs_data_set_int(response, "canvasWidth", config.width);
		obs_data_set_int(response, "canvasHeight", config.height);
		obs_data_set_int(response, "fpsNumerator", config.fps_num);
		obs_data_set_int(response, "fpsDenominator", config.fps_den);
		obs_data_set_string(response, "activeSlot", canvas->active_slot_name().c_str());
	}
	obs_data_set_int(response, "bitrateKbps", video_bitrate_kbps(output));
	obs_data_set_int(response, "bytesSent", static_cast<long long>(status.bytes_sent));
	obs_data_set_int(response, "droppedFrames", static_cast<long long>(status.frames_dropped));
	obs_data_set_int(response, "totalFrames", static_cast<long long>(status.frames_total));
	obs_data_set_double(response, "congestion", status.congestion);
	obs_data_set_bool(response, "videoPaused", status.video_paused);
	put_destinations(response);
	OBSDataAutoRelease recording = obs_data_create();
	obs_data_set_bool(recording, "active", output && output->recording_active());
	obs_data_set_string(recording, "outputPath", output ? output->recording_path().c_str() : "");
	obs_data_set_obj(response, "recording", recording);
	OBSDataAutoRelease replay = obs_data_create();
	obs_data_set_bool(replay, "active", output && output->replay_buffer_active());
	obs_data_set_obj(response, "replayBuffer", replay);
}

void WebSocketVendor::put_destinations(obs_data_t *response)
{
	OBSDataArrayAutoRelease list = obs_data_array_create();
	if (const VerticalOutput *output = runtime.output()) {
		for (const auto &state : output->destination_states()) {
			OBSDataAutoRelease entry = obs_data_create();
			obs_data_set_string(entry, "destinationName", state.destination.name.c_str());
			// The server's address only: the key is the user's secret.
			obs_data_set_string(entry, "url", state.destination.url.c_str());
			obs_data_set_bool(entry, "enabled", state.destination.enabled);
			obs_data_set_string(entry, "state", state_name(state.status.state));
			obs_data_set_int(entry, "bytesSent", static_cast<long long>(state.status.bytes_sent));
			obs_data_set_int(entry, "droppedFrames", static_cast<long long>(state.status.frames_dropped));
			obs_data_array_push_back(list, entry);
		}
	}
	obs_data_set_array(response, "destinations", list);
}

void WebSocketVendor::get_destinations(obs_data_t *, obs_data_t *response)
{
	put_destinations(response);
}

void WebSocketVendor::add_destination(obs_data_t *request, obs_data_t *response)
{
	Destination destination;
	if (!field(request, response, "destinationName", destination.name) ||
	    !field(request, response, "url", destination.url) || !field(request, response, "key", destination.key) ||
	    !optional_bool(request, response, "enabled", true, destination.enabled))
		return;
	answer(response, runtime.add_destination(destination));
}

void WebSocketVendor::set_destination_enabled(obs_data_t *request, obs_data_t *response)
{
	std::string name;
	bool enabled = true;
	if (field(request, response, "destinationName", name) && required_bool(request, response, "enabled", enabled))
		answer(response, runtime.set_destination_enabled(name, enabled));
}

void WebSocketVendor::stop_recording(obs_data_t *, obs_data_t *response)
{
	const VerticalOutput *output = runtime.output();
	const std::string path = output ? output->recording_path() : std::string();
	answer(response, runtime.stop_recording());
	obs_data_set_string(response, "outputPath", path.c_str());
}

// The host closes the file on a thread of its own after the stop: the answer waits for that, so
// that a client may open the file at once.
void WebSocketVendor::wait_for_recording_end(obs_data_t *response)
{
	const auto deadline = std::chrono::steady_clock::now() + kFileBound;
	bool recording = true;
	while (recording && std::chrono::steady_clock::now() < deadline) {
		std::this_thread::sleep_for(std::chrono::milliseconds(100));
		if (!ui.run([this,
			     &recording] { recording = runtime.output() && runtime.output()->recording_active(); },
			    kRequestBound))
			break;
	}
	if (recording)
		fail(response, "the recording did not end in time; the file may still be being written");
}

void WebSocketVendor::save_replay(obs_data_t *, obs_data_t *response)
{
	{
		std::lock_guard<std::mutex> lock(saved_mutex);
		obs_data_set_int(response, "savedBefore", static_cast<long long>(saved_count));
	}
	answer(response, runtime.save_replay());
}

// The clip is written on the host's own thread: the answer waits for its "saved" notice.
void WebSocketVendor::wait_for_replay(obs_data_t *response)
{
	const auto before = static_cast<uint64_t>(obs_data_get_int(response, "savedBefore"));
	obs_data_erase(response, "savedBefore");
	std::unique_lock<std::mutex> lock(saved_mutex);
	if (!saved_changed.wait_for(lock, kFileBound, [&] { return saved_count > before; })) {
		fail(response, "the replay was not written in time");
		return;
	}
	obs_data_set_string(response, "savedReplayPath", saved_path.c_str());
}

void WebSocketVendor::get_slots(obs_data_t *, obs_data_t *response)
{
	const VerticalCanvas *canvas = runtime.canvas();
	if (!canvas) {
		fail(response, "the vertical canvas is not running; restart OBS");
		return;
	}
	const std::string active = canvas->active_slot_name();
	OBSDataArrayAutoRelease list = obs_data_array_create();
	for (const std::string &name : canvas->slot_names()) {
		OBSDataAutoRelease slot = obs_data_create();
		obs_data_set_string(slot, "slotName", name.c_str());
		obs_data_set_string(slot, "sceneName", canvas->slot_scene_name(name).c_str());
		obs_data_set_bool(slot, "active", name == active);
		obs_data_array_push_back(list, slot);
	}
	obs_data_set_array(response, "slots", list);
	obs_data_set_string(response, "activeSlot", active.c_str());
}

void WebSocketVendor::rename_slot(obs_data_t *request, obs_data_t *response)
{
	std::string name, new_name;
	if (field(request, response, "slotName", name) && field(request, response, "newSlotName", new_name))
		answer(response, runtime.rename_slot(name, new_name));
}

void WebSocketVendor::assign_scene(obs_data_t *request, obs_data_t *response)
{
	std::string name, scene;
	if (field(request, response, "slotName", name) && field(request, response, "sceneName", scene))
		answer(response, runtime.assign_slot_scene(name, scene));
}

} // namespace brasslight
