#include "host-fixture.hpp"

#include <csignal>
#include <filesystem>
#include <memory>
#include <unistd.h>
#include <utility>

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <qpa/qplatformnativeinterface.h>
#include <obs.h>
#include <obs-nix-platform.h>
#include <util/bmem.h>

#include "common/text.hpp"
#include "qt-app.hpp"

// Last: its macros (None, Cursor, ...) break Qt's headers.
#include <X11/Xlib.h>

namespace bltest {

namespace {

bool started = false;
std::unique_ptr<TempDir> config_dir, wayland_dir;
ChildProcess display_server; // Xvfb or weston
Display *x_display = nullptr;

void require(bool ok, const std::string &what)
{
	if (ok)
		return;
	fprintf(stderr, "host fixture: %s\n", what.c_str());
	std::abort();
}

} // namespace

QImage wayland_screenshot()
{
	TempDir dir("bl-shot");
	run_command({"sh", "-c", "cd '" + dir.path() + "' && weston-screenshooter"}, std::chrono::seconds(20));
	const QStringList shots = QDir(QString::fromStdString(dir.path())).entryList({"*.png"});
	return shots.isEmpty() ? QImage() : QImage(QString::fromStdString(dir.file(shots.first().toStdString())));
}

void Host::start(const HostOptions &options)
{
	if (started)
		return;
	opts = options;
	LogCapture::get().install();
	// What the host's locale hooks give the module file: the texts the widgets show.
	brasslight::load_texts_file(BL_MODULE_DATA_DIR "/locale/en-US.ini");
	std::string error;
	if (opts.wayland) {
		// Qt finds the socket through the same variables. weston-screenshooter needs --debug and is right
		// only with pixman (GL reads back red). The output has the preview tests' widget size: full screen.
		wayland_dir = std::make_unique<TempDir>("bl-wayland");
		setenv("XDG_RUNTIME_DIR", wayland_dir->path().c_str(), 1);
		setenv("WAYLAND_DISPLAY", "bl-test", 1);
		require(display_server.start({"weston", "--backend=headless-backend.so", "--use-pixman",
					      "--socket=bl-test", "--width=180", "--height=320", "--idle-time=0",
					      "--debug"},
					     wayland_dir->file("weston.log"), &error),
			"cannot start weston (install weston): " + error);
		const std::string socket = wayland_dir->file("bl-test");
		poll_until([&] { return std::filesystem::exists(socket) || !display_server.running(); },
			   std::chrono::seconds(10));
		require(std::filesystem::exists(socket),
			"weston made no socket: " + read_file(wayland_dir->file("weston.log")));
		// Qt first: the host must render on the connection that Qt's surfaces belong to.
		ensure_qt_application();
		obs_set_nix_platform(OBS_NIX_PLATFORM_WAYLAND);
		obs_set_nix_platform_display(
			QGuiApplication::platformNativeInterface()->nativeResourceForIntegration("display"));
	} else {
		// Xvfb picks a free display number itself and writes it to the pipe once it accepts clients.
		int fds[2];
		require(pipe2(fds, 0) == 0 &&
				display_server.start({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
						      "1280x1024x24", "-nolisten", "tcp", "-noreset"},
						     "/dev/null", &error),
			"cannot start Xvfb (install xvfb): " + error);
		close(fds[1]);
		std::string number;
		for (char c; read(fds[0], &c, 1) == 1 && c != '\n';)
			number.push_back(c);
		close(fds[0]);
		require(!number.empty(), "Xvfb did not report a display");
		setenv("DISPLAY", (":" + number).c_str(), 1);
		require((x_display = XOpenDisplay(nullptr)), "XOpenDisplay failed");
		obs_set_nix_platform(OBS_NIX_PLATFORM_X11_EGL);
		obs_set_nix_platform_display(x_display);
	}
	config_dir = std::make_unique<TempDir>("bl-host");
	require(obs_startup("en-US", config_dir->path().c_str(), nullptr), "obs_startup failed");
	obs_video_info ovi = {"libobs-opengl", opts.fps_num,        opts.fps_den,      opts.width, opts.height,
			      opts.width,      opts.height,         VIDEO_FORMAT_NV12, 0,          true,
			      VIDEO_CS_709,    VIDEO_RANGE_PARTIAL, OBS_SCALE_BICUBIC};
	obs_audio_info oai = {48000, SPEAKERS_STEREO};
	require(obs_reset_video(&ovi) == OBS_VIDEO_SUCCESS && obs_reset_audio(&oai), "cannot reset video or audio");
	for (const std::string name : {"obs-x264", "obs-ffmpeg", "image-source"}) {
		obs_module_t *plugin = nullptr;
		require(obs_open_module(&plugin, ("/usr/lib/x86_64-linux-gnu/obs-plugins/" + name + ".so").c_str(),
					("/usr/share/obs/obs-plugins/" + name).c_str()) == MODULE_SUCCESS &&
				obs_init_module(plugin),
			"cannot load the host plug-in " + name);
	}
	obs_post_load_modules();
	started = true;
}

void Host::shutdown()
{
	if (!std::exchange(started, false))
		return;
	obs_shutdown();
	brasslight::free_texts();
	// libobs names what was left ("... were remaining") in the log above.
	EXPECT_EQ(bnum_allocs(), 0L) << "host objects or allocations left after shutdown";
	end_qt_application();
	if (x_display)
		XCloseDisplay(std::exchange(x_display, nullptr));
	// The configuration folder stays until the process ends: tests look at what unload wrote.
	display_server.signal(SIGTERM);
	display_server.end(std::chrono::seconds(5));
}

} // namespace bltest
