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
#include "module/websocket-shared.hpp"
#include "runtime/runtime.hpp"

namespace brasslight {

namespace {

constexpr const char *kVendorName = "brasslight-vertical";
constexpr int kEventPollMs = 250;

struct CallData {
	calldata_t data;
	CallData() { calldata_init(&data); }
	~CallData() { calldata_free(&data); }
	CallData(const CallData &) = delete;
	CallData &operator=(const CallData &) = delete;
};

} // namespace

using websocket::fail;
using websocket::kRequestBound;
using websocket::state_name;

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

	size_t count = 0;
	for (const auto &[type, handler, finish] : request_table()) {
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
