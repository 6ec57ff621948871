#include "gate-source.hpp"

#include <condition_variable>
#include <mutex>

namespace bltest {

namespace {

struct Gate {
	std::mutex mutex;
	std::condition_variable changed;
	bool open = true;
	bool entered = false;
	int rendering = 0;
	bool destroyed = false;
	bool destroyed_while_rendering = false;
};

Gate gate;
constexpr auto kSelfOpen = std::chrono::seconds(20);

void *gate_create(obs_data_t *, obs_source_t *source)
{
	return source;
}

void gate_destroy(void *)
{
	std::lock_guard<std::mutex> lock(gate.mutex);
	gate.destroyed = true;
	gate.destroyed_while_rendering = gate.rendering > 0;
}

uint32_t gate_width(void *)
{
	return 320;
}

uint32_t gate_height(void *)
{
	return 180;
}

void gate_render(void *, gs_effect_t *)
{
	// A display draws into its swap chain; a mix renders into a texture of its own.
	if (gs_get_render_target() != nullptr)
		return;
	std::unique_lock<std::mutex> lock(gate.mutex);
	++gate.rendering;
	gate.entered = true;
	gate.changed.notify_all();
	gate.changed.wait_for(lock, kSelfOpen, [] { return gate.open; });
	--gate.rendering;
}

void register_gate_type()
{
	static const bool registered = [] {
		obs_source_info info = {};
		info.id = "bltest_gate_source";
		info.type = OBS_SOURCE_TYPE_INPUT;
		info.output_flags = OBS_SOURCE_VIDEO;
		info.get_name = [](void *) {
			return "Test gate";
		};
		info.create = gate_create;
		info.destroy = gate_destroy;
		info.get_width = gate_width;
		info.get_height = gate_height;
		info.video_render = gate_render;
		obs_register_source(&info);
		return true;
	}();
	(void)registered;
}

} // namespace

GateSource::GateSource(const std::string &name) : source_name(name)
{
	register_gate_type();
	{
		std::lock_guard<std::mutex> lock(gate.mutex);
		gate.open = false;
		gate.entered = false;
		gate.destroyed = false;
		gate.destroyed_while_rendering = false;
	}
	ref = obs_source_create("bltest_gate_source", name.c_str(), nullptr, nullptr);
}

GateSource::~GateSource()
{
	open();
}

bool GateSource::wait_entered(std::chrono::milliseconds timeout)
{
	std::unique_lock<std::mutex> lock(gate.mutex);
	return gate.changed.wait_for(lock, timeout, [] { return gate.entered; });
}

void GateSource::open()
{
	std::lock_guard<std::mutex> lock(gate.mutex);
	gate.open = true;
	gate.changed.notify_all();
}

bool GateSource::rendering() const
{
	std::lock_guard<std::mutex> lock(gate.mutex);
	return gate.rendering > 0;
}

bool GateSource::destroyed() const
{
	std::lock_guard<std::mutex> lock(gate.mutex);
	return gate.destroyed;
}

bool GateSource::destroyed_while_rendering() const
{
	std::lock_guard<std::mutex> lock(gate.mutex);
	return gate.destroyed_while_rendering;
}

} // namespace bltest
