// The user's actions on the vertical stream's destinations, recording and replay buffer, shared
// by the dock, the hotkeys and the obs-websocket requests.

#include "runtime/runtime.hpp"

#include <algorithm>

#include "common/strings.hpp"
#include "output/vertical-output.hpp"
#include "runtime/slot-names.hpp"

namespace brasslight {

namespace {

constexpr const char *kNoRuntime = "the vertical canvas is not running; restart OBS";

std::string quoted(const std::string &name)
{
	return "\"" + name + "\"";
}

} // namespace

RecordingPlace Runtime::recording_place() const
{
	return events.recording_place ? events.recording_place() : RecordingPlace();
}

ActionResult Runtime::start_destination(const std::string &name)
{
	apply_changed_canvas_settings();
	if (!output_)
		return ActionResult::failure(kNoRuntime);
	if (output_->start_destination(name))
		return {};
	return ActionResult::failure(output_->refusal_reason());
}

ActionResult Runtime::stop_destination(const std::string &name)
{
	if (!output_)
		return ActionResult::failure(kNoRuntime);
	if (!output_->stop_destination(name))
		return ActionResult::failure("unknown destination " + quoted(name));
	return {};
}

ActionResult Runtime::store_destinations(const std::vector<Destination> &list)
{
	profile.set_destinations(list);
	save_profile_config();
	return {};
}

ActionResult Runtime::add_destination(const Destination &typed)
{
	Destination destination = typed;
	destination.name = trimmed(destination.name);
	destination.url = trimmed(destination.url);
	destination.key = trimmed(destination.key);
	if (destination.name.empty())
		return ActionResult::failure("the destination name is empty");
	if (const std::string problem = slot_name_problem(destination.name, "destination"); !problem.empty())
		return ActionResult::failure(problem);
	if (destination.url.empty() || destination.key.empty())
		return ActionResult::failure("a destination needs a server URL and a stream key");
	std::vector<Destination> list = profile.destinations();
	// The first destination of a profile never set up is the empty one of old profiles: taken.
	if (list.size() == 1 && list.front().url.empty() && list.front().key.empty())
		list.clear();
	if (std::any_of(list.begin(), list.end(), [&](const Destination &d) { return d.name == destination.name; }))
		return ActionResult::failure("a destination named " + quoted(destination.name) + " already exists");
	if (list.size() >= kMaxDestinations)
		return ActionResult::failure("there are " + std::to_string(kMaxDestinations) + " destinations already");
	list.push_back(destination);
	return store_destinations(list);
}

ActionResult Runtime::remove_destination(const std::string &name)
{
	std::vector<Destination> list = profile.destinations();
	const auto found = std::find_if(list.begin(), list.end(), [&](const Destination &d) { return d.name == name; });
	if (found == list.end())
		return ActionResult::failure("unknown destination " + quoted(name));
	if (output_)
		output_->stop_destination(name);
	list.erase(found);
	return store_destinations(list);
}

ActionResult Runtime::set_destination_enabled(const std::string &name, bool enabled)
{
	std::vector<Destination> list = profile.destinations();
	const auto found = std::find_if(list.begin(), list.end(), [&](const Destination &d) { return d.name == name; });
	if (found == list.end())
		return ActionResult::failure("unknown destination " + quoted(name));
	found->enabled = enabled;
	return store_destinations(list);
}

ActionResult Runtime::start_recording()
{
	apply_changed_canvas_settings();
	if (!output_)
		return ActionResult::failure(kNoRuntime);
	if (output_->recording_active())
		return ActionResult::failure("the vertical recording is already running");
	if (!output_->start_recording(recording_place()))
		return ActionResult::failure(output_->refusal_reason());
	return {};
}

ActionResult Runtime::stop_recording()
{
	if (!output_)
		return ActionResult::failure(kNoRuntime);
	if (!output_->recording_active())
		return ActionResult::failure("the vertical recording is not running");
	output_->stop_recording();
	return {};
}

ActionResult Runtime::start_replay_buffer()
{
	apply_changed_canvas_settings();
	if (!output_)
		return ActionResult::failure(kNoRuntime);
	if (output_->replay_buffer_active())
		return ActionResult::failure("the vertical replay buffer is already running");
	if (!output_->start_replay_buffer(recording_place()))
		return ActionResult::failure(output_->refusal_reason());
	return {};
}

ActionResult Runtime::stop_replay_buffer()
{
	if (!output_)
		return ActionResult::failure(kNoRuntime);
	if (!output_->replay_buffer_active())
		return ActionResult::failure("the vertical replay buffer is not running");
	output_->stop_replay_buffer();
	return {};
}

ActionResult Runtime::save_replay()
{
	if (!output_)
		return ActionResult::failure(kNoRuntime);
	if (!output_->save_replay())
		return ActionResult::failure("the vertical replay buffer is not running");
	return {};
}

} // namespace brasslight
