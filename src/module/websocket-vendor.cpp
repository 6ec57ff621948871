#include "module/websocket-vendor.hpp"

#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <callback/calldata.h>
#include <callback/proc.h>
#include <obs-frontend-api.h>
#include <obs.hpp>

#include "actions/slot-actions.hpp"
#include "canvas/vertical-canvas.hpp"
#include "common/log.hpp"
#include "module/runtime.hpp"
#include "output/vertical-output.hpp"

namespace brasslight {

namespace {

constexpr const char *kVendorName = "brasslight-vertical";
constexpr int kEventPollMs = 250;

// The record obs-websocket's vendor_request_register expects behind its "callback" pointer.
struct WebSocketRequestCallback {
	void (*callback)(obs_data_t *request, obs_data_t *response, void *priv);
	void *priv;
};

using RequestHandler = void (*)(obs_data_t *request, obs_data_t *response);

struct Request {
	const char *type;
	RequestHandler handler;
};

struct CallData {
	calldata_t data;
	CallData() { calldata_init(&data); }
	~CallData() { calldata_free(&data); }
	CallData(const CallData &) = delete;
	CallData &operator=(const CallData &) = delete;
};

// obs-websocket's own procedure handler and our vendor on it; null while not registered. Set and
// cleared on the user-interface thread only.
proc_handler_t *websocket = nullptr;
void *vendor = nullptr;
QPointer<QTimer> event_timer;
std::string last_state;
std::string last_active_slot;

// ---- the stream's status -------------------------------------------------------------------

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
long long video_bitrate_kbps(VerticalOutput *controller)
{
	obs_output_t *handle = controller ? controller->output_handle() : nullptr;
	obs_encoder_t *video = handle ? obs_output_get_video_encoder(handle) : nullptr;
	if (!video)
		return 0;
	OBSDataAutoRelease settings = obs_encoder_get_settings(video);
	return obs_data_get_int(settings, "bitrate");
}

// ---- requests (obs-websocket's threads, under the runtime lock) ---------------------------

void fail(obs_data_t *response, const std::string &message)
{
	obs_data_set_string(response, "error", message.c_str());
}

void answer(obs_data_t *response, const ActionResult &result)
{
	if (!result.ok)
		fail(response, result.error);
}

// A required string field; on false the response already holds the error.
bool field(obs_data_t *request, obs_data_t *response, const char *name, std::string &value)
{
	if (!request || !obs_data_has_user_value(request, name)) {
		fail(response, std::string("missing field \"") + name + "\"");
		return false;
	}
	value = obs_data_get_string(request, name);
	return true;
}

void get_status(obs_data_t *, obs_data_t *response)
{
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
	obs_data_set_int(response, "bitrateKbps", video_bitrate_kbps(output.get()));
	obs_data_set_int(response, "bytesSent", static_cast<long long>(status.bytes_sent));
	obs_data_set_int(response, "droppedFrames", static_cast<long long>(status.frames_dropped));
	obs_data_set_int(response, "totalFrames", static_cast<long long>(status.frames_total));
	obs_data_set_double(response, "congestion", status.congestion);
}

void start_stream(obs_data_t *, obs_data_t *response)
{
	answer(response, start_vertical_output());
}

void stop_stream(obs_data_t *, obs_data_t *response)
{
	answer(response, stop_vertical_stream(output.get()));
}

void get_slots(obs_data_t *, obs_data_t *response)
{
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

void set_active_slot(obs_data_t *request, obs_data_t *response)
{
	std::string name;
	if (field(request, response, "slotName", name))
		answer(response, activate_slot(canvas.get(), name));
}

void add_slot_request(obs_data_t *request, obs_data_t *response)
{
	std::string name;
	if (field(request, response, "slotName", name))
		answer(response, add_slot(canvas.get(), name));
}

void remove_slot_request(obs_data_t *request, obs_data_t *response)
{
	std::string name;
	if (field(request, response, "slotName", name))
		answer(response, remove_slot(canvas.get(), name));
}

void rename_slot_request(obs_data_t *request, obs_data_t *response)
{
	std::string name, new_name;
	if (field(request, response, "slotName", name) && field(request, response, "newSlotName", new_name))
		answer(response, rename_slot(canvas.get(), name, new_name));
}

void assign_scene_request(obs_data_t *request, obs_data_t *response)
{
	std::string name, scene;
	if (field(request, response, "slotName", name) && field(request, response, "sceneName", scene))
		answer(response, assign_slot_scene(canvas.get(), name, scene));
}

Request kRequests[] = {
	{"GetStatus", get_status},
	{"StartStream", start_stream},
	{"StopStream", stop_stream},
	{"GetSlots", get_slots},
	{"SetActiveSlot", set_active_slot},
	{"AddSlot", add_slot_request},
	{"RemoveSlot", remove_slot_request},
	{"RenameSlot", rename_slot_request},
	{"AssignScene", assign_scene_request},
};

// Runs on an obs-websocket thread. The runtime lock keeps canvas and output alive for the
// request and orders it against profile switches and the dock's saves.
void on_request(obs_data_t *request, obs_data_t *response, void *priv)
{
	const auto *entry = static_cast<const Request *>(priv);
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	entry->handler(request, response);
}

// Static: obs-websocket may keep the pointer it is given rather than a copy.
WebSocketRequestCallback callbacks[std::size(kRequests)];

void emit_event(const char *type, obs_data_t *data)
{
	if (!vendor)
		return;
	CallData call;
	calldata_set_ptr(&call.data, "vendor", vendor);
	calldata_set_string(&call.data, "type", type);
	calldata_set_ptr(&call.data, "data", data);
	proc_handler_call(websocket, "vendor_event_emit", &call.data);
}

} // namespace

void register_websocket_vendor()
{
	if (vendor)
		return;
	CallData find;
	proc_handler_t *handler = nullptr;
	if (proc_handler_call(obs_get_proc_handler(), "obs_websocket_api_get_ph", &find.data))
		handler = static_cast<proc_handler_t *>(calldata_ptr(&find.data, "ph"));
	if (!handler) {
		log_msg(LOG_INFO, "obs-websocket not found — vertical stream remote control is off");
		return;
	}

	CallData registration;
	calldata_set_string(&registration.data, "name", kVendorName);
	proc_handler_call(handler, "vendor_register", &registration.data);
	void *new_vendor = calldata_ptr(&registration.data, "vendor");
	if (!new_vendor) {
		log_msg(LOG_WARNING, "obs-websocket refused the vendor %s", kVendorName);
		return;
	}
	websocket = handler;
	vendor = new_vendor;

	size_t count = 0;
	for (size_t i = 0; i < std::size(kRequests); ++i) {
		callbacks[i] = {on_request, &kRequests[i]};
		CallData call;
		calldata_set_ptr(&call.data, "vendor", vendor);
		calldata_set_string(&call.data, "type", kRequests[i].type);
		calldata_set_ptr(&call.data, "callback", &callbacks[i]);
		proc_handler_call(websocket, "vendor_request_register", &call.data);
		if (calldata_bool(&call.data, "success"))
			++count;
		else
			log_msg(LOG_WARNING, "obs-websocket refused the request %s", kRequests[i].type);
	}
	log_msg(LOG_INFO, "obs-websocket vendor '%s' registered with %zu request(s)", kVendorName, count);

	{
		// What the first events are measured against.
		std::lock_guard<std::recursive_mutex> lock(runtime_lock);
		last_state = state_name(output ? output->stream_status().state : MuxState::Stopped);
		last_active_slot = canvas ? canvas->active_slot_name() : std::string();
	}
	auto *window = static_cast<QWidget *>(obs_frontend_get_main_window());
	if (window) {
		event_timer = new QTimer(window);
		event_timer->setInterval(kEventPollMs);
		QObject::connect(event_timer, &QTimer::timeout, event_timer, send_changed_events);
		event_timer->start();
	}
}

void unregister_websocket_vendor()
{
	if (event_timer) {
		event_timer->stop();
		event_timer->deleteLater();
	}
	if (!vendor)
		return;
	for (const Request &request : kRequests) {
		CallData call;
		calldata_set_ptr(&call.data, "vendor", vendor);
		calldata_set_string(&call.data, "type", request.type);
		proc_handler_call(websocket, "vendor_request_unregister", &call.data);
	}
	vendor = nullptr;
	websocket = nullptr;
	log_msg(LOG_INFO, "obs-websocket vendor '%s' unregistered", kVendorName);
}

void send_changed_events()
{
	if (!vendor)
		return;
	std::string state, active;
	{
		std::lock_guard<std::recursive_mutex> lock(runtime_lock);
		state = state_name(output ? output->stream_status().state : MuxState::Stopped);
		active = canvas ? canvas->active_slot_name() : std::string();
	}
	// Sent outside the runtime lock: obs-websocket's sending takes locks of its own, which a
	// request thread may hold while it waits for the runtime lock.
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
}

} // namespace brasslight
