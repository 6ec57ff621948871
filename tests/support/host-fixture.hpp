#pragma once

#include <cstdint>
#include <string>

#include <gtest/gtest.h>
#include <obs-config.h>

#include "child-process.hpp"

// Not Qt's header: it would define "slots" for every test that includes this one.
class QImage;

namespace bltest {

struct HostOptions {
	// The host's main mix; small, as llvmpipe renders on two cores.
	uint32_t width = 640, height = 360, fps_num = 30, fps_den = 1;
	// Weston instead of Xvfb: Qt runs on Wayland and libobs on Qt's connection, as the host app does.
	bool wayland = false;
};

// libobs in the test process with the host's encoders and image sources; once: libobs does not restart.
class Host {
public:
	static Host &get()
	{
		static Host host;
		return host;
	}
	// Starts Xvfb (or weston), then libobs; a failure aborts the program.
	void start(const HostOptions &options = {});
	// obs_shutdown; a test failure for any host object or allocation left. Safe to call twice.
	void shutdown();
	const HostOptions &options() const { return opts; }

private:
	HostOptions opts;
};

// The whole output of the fixture's weston (180 x 320), through its screenshooter.
QImage wayland_screenshot();

// The dock's keys in the module's global file as the host writes them from their registered
// defaults, which it does from host 30 on even when none was set.
inline const std::string kDockDefaultsSaved =
	"[VerticalCanvas]\ndockvisible=true\ndockfloating=true\ndockarea=2\ndockgeometry=\n";

struct HostEnvironment : ::testing::Environment {
	explicit HostEnvironment(HostOptions options = {}) : opts(options) {}
	void SetUp() override { Host::get().start(opts); }
	void TearDown() override { Host::get().shutdown(); }
	HostOptions opts;
};

} // namespace bltest

// One line in a test file gives the whole program a running host: BL_HOST_ENVIRONMENT();
// or BL_HOST_ENVIRONMENT(bltest::HostOptions{1280, 720}). gtest owns the environment object.
#define BL_HOST_ENVIRONMENT(...)                                                    \
	static ::testing::Environment *const bl_host_environment [[maybe_unused]] = \
		::testing::AddGlobalTestEnvironment(new ::bltest::HostEnvironment(__VA_ARGS__))
