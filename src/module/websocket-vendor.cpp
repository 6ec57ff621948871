#include "module/websocket-vendor.hpp"

#include <chrono>
#include <iterator>
#include <thread>

#include <QTimer>

#include <callback/calldata.h>
#include <callback/proc.h>
#include <obs.hpp>

#include "canvas/vertical-canvas.hpp"
#include "common/log.hpp"
#include "output/vertical-output.hpp"
#include "runtime/runtime.hpp"

namespace brasslight {

namespace {

constexpr const char *kVendorName = "brasslight-vertical";
constexpr int kEventPollMs = 250;
// A request waits this long for the user-interface thread, which a modal dialog of the host's
// still serves but a long rebuild may hold. A request that is not answered in time may still
// take effect later: the answer says so.
constexpr auto kRequestBound = std::chrono::seconds(5);
// How long StopRecording and SaveReplay wait for the host to finish a file.
constexpr auto kFileBound = std::chrono::seconds(15);

struct CallData {
	calldata_t data;
	CallData() { calldata_init(&data); }
	~CallData() { calldata_free(&data); }
	CallData(const CallData &) = delete;
	CallData &operator=(const CallData &) = delete;
};

const char *state_name(MuxState state)
{
	switch (state) {
	case MuxState::Connecting:
		return "connecting";
	case MuxState::Streaming:
		return "streaming";
	case MuxState::Reconnecting:
		return "reconnecting";
	case MuxState::Stopped:
		break;
	}
	return "stopped";
}

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

void fail(obs_data_t *response, const std::string &message)
{
	obs_data_set_string(response, "error", message.c_str());
}

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

// The record obs-websocket's vendor_request_register expects behind its "callback" pointer (a
// function and its private data), followed by what that private data points at.
struct WebSocketVendor::Request {
	void (*callback)(obs_data_t *request, obs_data_t *response, void *priv);
	void *priv;
	const char *type;
	Handler handler;
	Finisher finish;
	WebSocketVendor *owner;
};

WebSocketVendor::WebSocketVendor(Runtime &runtime_) : runtime(runtime_)
{
	CallData find;
	if (proc_handler_call(obs_get_proc_handler(), "obs_websocket_api_get_ph", &find.data))
		websocket = static_cast<proc_handler_t *>(calldata_ptr(&find.data, "ph"));
	if (!websocket) {
		log_msg(LOG_INFO, "obs-websocket not found — vertical stream remote control is off");
		return;
	}
	CallData registration;
	calldata_set_string(&registration.data, "name", kVendorName);
	proc_handler_call(websocket, "vendor_register", &registration.data);
	vendor = calldata_ptr(&registration.data, "vendor");
	if (!vendor) {
		log_msg(LOG_WARNING, "obs-websocket refused the vendor %s", kVendorName);
		websocket = nullptr;
		return;
	}

	const struct {
		const char *type;
		Handler handler;
		Finisher finish;
	} table[] = {
		{"GetStatus", &WebSocketVendor::get_status, nullptr},
		{"StartStream", &WebSocketVendor::start_stream, nullptr},
		{"StopStream", &WebSocketVendor::stop_stream, nullptr},
		{"GetSlots", &WebSocketVendor::get_slots, nullptr},
		{"SetActiveSlot", &WebSocketVendor::set_active_slot, nullptr},
		{"AddSlot", &WebSocketVendor::add_slot, nullptr},
		{"RemoveSlot", &WebSocketVendor::remove_slot, nullptr},
		{"RenameSlot", &WebSocketVendor::rename_slot, nullptr},
		{"AssignScene", &WebSocketVendor::assign_scene, nullptr},
		{"GetDestinations", &WebSocketVendor::get_destinations, nullptr},
		{"AddDestination", &WebSocketVendor::add_destination, nullptr},
		{"RemoveDestination", &WebSocketVendor::remove_destination, nullptr},
		{"SetDestinationEnabled", &WebSocketVendor::set_destination_enabled, nullptr},
		{"StartDestination", &WebSocketVendor::start_destination, nullptr},
		{"StopDestination", &WebSocketVendor::stop_destination, nullptr},
		{"StartRecording", &WebSocketVendor::start_recording, nullptr},
		{"StopRecording", &WebSocketVendor::stop_recording, &WebSocketVendor::wait_for_recording_end},
		{"StartReplayBuffer", &WebSocketVendor::start_replay_buffer, nullptr},
		{"StopReplayBuffer", &WebSocketVendor::stop_replay_buffer, nullptr},
		{"SaveReplay", &WebSocketVendor::save_replay, &WebSocketVendor::wait_for_replay},
	};
	size_t count = 0;
	for (const auto &[type, handler, finish] : table) {
		auto request = std::make_unique<Request>(Request {on_request, nullptr, type, handler, finish, this});
		request->priv = request.get();
		CallData call;
		calldata_set_ptr(&call.data, "vendor", vendor);
		calldata_set_string(&call.data, "type", type);
		calldata_set_ptr(&call.data, "callback", request.get());
		proc_handler_call(websocket, "vendor_request_register", &call.data);
		if (calldata_bool(&call.data, "success"))
			++count;
		else
			log_msg(LOG_WARNING, "obs-websocket refused the request %s", type);
		requests.push_back(std::move(request));
	}
	log_msg(LOG_INFO, "obs-websocket vendor '%s' registered with %zu request(s)", kVendorName, count);

	// What the first events are measured against.
	const VerticalOutput *output = runtime.output();
	last_state = state_name(output ? output->stream_status().state : MuxState::Stopped);
	last_active_slot = runtime.canvas() ? runtime.canvas()->active_slot_name() : std::string();
	event_timer = std::make_unique<QTimer>();
	event_timer->setInterval(kEventPollMs);
	QObject::connect(event_timer.get(), &QTimer::timeout, [this] { send_changed_events(); });
	event_timer->start();
}

WebSocketVendor::~WebSocketVendor()
{
	event_timer.reset();
	// A request waiting for this thread gives up now: obs-websocket's unregistration below waits
	// for the requests in progress.
	ui.close();
	if (!vendor)
		return;
	for (const auto &request : requests) {
		CallData call;
		calldata_set_ptr(&call.data, "vendor", vendor);
		calldata_set_string(&call.data, "type", request->type);
		proc_handler_call(websocket, "vendor_request_unregister", &call.data);
	}
	log_msg(LOG_INFO, "obs-websocket vendor '%s' unregistered", kVendorName);
}

// On an obs-websocket thread. The request runs on the user-interface thread with copies of its
// own: obs-websocket frees the request and reads the response as soon as this returns, which it
// may do before the posted work has run.
void WebSocketVendor::on_request(obs_data_t *request, obs_data_t *response, void *priv)
{
	const auto *entry = static_cast<const Request *>(priv);
	OBSDataAutoRelease copy = obs_data_create_from_json(request ? obs_data_get_json(request) : "{}");
	OBSDataAutoRelease answered = obs_data_create();
	auto task = [owner = entry->owner, handler = entry->handler, in = OBSData(copy.Get()),
		     out = OBSData(answered.Get())] {
		(owner->*handler)(in, out);
	};
	if (!entry->owner->ui.run(task, kRequestBound)) {
		fail(response, "OBS did not handle the request in time; it may still take effect");
		return;
	}
	if (entry->finish && !obs_data_has_user_value(answered, "error"))
		(entry->owner->*entry->finish)(answered);
	obs_data_apply(response, answered);
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

void WebSocketVendor::remove_destination(obs_data_t *request, obs_data_t *response)
{
	std::string name;
	if (field(request, response, "destinationName", name))
		answer(response, runtime.remove_destination(name));
}

void WebSocketVendor::set_destination_enabled(obs_data_t *request, obs_data_t *response)
{
	std::string name;
	bool enabled = true;
	if (field(request, response, "destinationName", name) && required_bool(request, response, "enabled", enabled))
		answer(response, runtime.set_destination_enabled(name, enabled));
}

void WebSocketVendor::start_destination(obs_data_t *request, obs_data_t *response)
{
	std::string name;
	if (field(request, response, "destinationName", name))
		answer(response, runtime.start_destination(name));
}

void WebSocketVendor::stop_destination(obs_data_t *request, obs_data_t *response)
{
	std::string name;
	if (field(request, response, "destinationName", name))
		answer(response, runtime.stop_destination(name));
}

void WebSocketVendor::start_recording(obs_data_t *, obs_data_t *response)
{
	answer(response, runtime.start_recording());
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

void WebSocketVendor::start_replay_buffer(obs_data_t *, obs_data_t *response)
{
	answer(response, runtime.start_replay_buffer());
}

void WebSocketVendor::stop_replay_buffer(obs_data_t *, obs_data_t *response)
{
	answer(response, runtime.stop_replay_buffer());
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

void WebSocketVendor::replay_saved(const std::string &path)
{
	{
		std::lock_guard<std::mutex> lock(saved_mutex);
		saved_path = path;
		++saved_count;
	}
	saved_changed.notify_all();
	OBSDataAutoRelease data = obs_data_create();
	obs_data_set_string(data, "savedReplayPath", path.c_str());
	emit_event("ReplaySaved", data);
}

void WebSocketVendor::start_stream(obs_data_t *, obs_data_t *response)
{
	answer(response, runtime.start_stream());
}

void WebSocketVendor::stop_stream(obs_data_t *, obs_data_t *response)
{
	answer(response, runtime.stop_stream());
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

void WebSocketVendor::set_active_slot(obs_data_t *request, obs_data_t *response)
{
	std::string name;
	if (field(request, response, "slotName", name))
		answer(response, runtime.activate_slot(name));
}

void WebSocketVendor::add_slot(obs_data_t *request, obs_data_t *response)
{
	std::string name;
	if (field(request, response, "slotName", name))
		answer(response, runtime.add_slot(name));
}

void WebSocketVendor::remove_slot(obs_data_t *request, obs_data_t *response)
{
	std::string name;
	if (field(request, response, "slotName", name))
		answer(response, runtime.remove_slot(name));
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

void WebSocketVendor::emit_event(const char *type, obs_data_t *data)
{
	if (!vendor)
		return;
	CallData call;
	calldata_set_ptr(&call.data, "vendor", vendor);
	calldata_set_string(&call.data, "type", type);
	calldata_set_ptr(&call.data, "data", data);
	proc_handler_call(websocket, "vendor_event_emit", &call.data);
}

void WebSocketVendor::send_changed_events()
{
	if (!vendor)
		return;
	const VerticalOutput *output = runtime.output();
	const std::string state = state_name(output ? output->stream_status().state : MuxState::Stopped);
	const std::string active = runtime.canvas() ? runtime.canvas()->active_slot_name() : std::string();
	if (state != last_state) {
		last_state = state;
		OBSDataAutoRelease data = obs_data_create();
		obs_data_set_string(data, "state", state.c_str());
		emit_event("StreamStateChanged", data);
	}
	if (active != last_active_slot) {
		last_active_slot = active;
		OBSDataAutoRelease data = obs_data_create();
		obs_data_set_string(data, "slotName", active.c_str());
		emit_event("ActiveSlotChanged", data);
	}
	std::map<std::string, std::string> destinations;
	if (output)
		for (const auto &state : output->destination_states())
			destinations[state.destination.name] = state_name(state.status.state);
	for (const auto &[name, destination_state] : destinations) {
		const auto last = last_destination_states.find(name);
		if (last != last_destination_states.end() && last->second == destination_state)
			continue;
		OBSDataAutoRelease data = obs_data_create();
		obs_data_set_string(data, "destinationName", name.c_str());
		obs_data_set_string(data, "state", destination_state.c_str());
		emit_event("DestinationStateChanged", data);
	}
	last_destination_states = std::move(destinations);
	const bool recording = output && output->recording_active();
	if (recording != last_recording) {
		last_recording = recording;
		OBSDataAutoRelease data = obs_data_create();
		obs_data_set_bool(data, "active", recording);
		obs_data_set_string(data, "outputPath", output ? output->recording_path().c_str() : "");
		emit_event("RecordingStateChanged", data);
	}
}

} // namespace brasslight
