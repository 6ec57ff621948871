#include "host-fixture.hpp"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <qpa/qplatformnativeinterface.h>
#include <X11/Xlib.h>
#include <obs.h>
#include <obs-nix-platform.h>
#include <util/bmem.h>

#include "qt-app.hpp"

namespace bltest {

namespace {

constexpr const char *kPluginDir = "/usr/lib/x86_64-linux-gnu/obs-plugins";
constexpr const char *kPluginDataDir = "/usr/share/obs/obs-plugins";

[[noreturn]] void fatal(const char *what)
{
	fprintf(stderr, "host fixture: %s\n", what);
	std::abort();
}

void load_host_plugin(const std::string &name)
{
	obs_module_t *plugin = nullptr;
	if (obs_open_module(&plugin, (std::string(kPluginDir) + "/" + name + ".so").c_str(),
			    (std::string(kPluginDataDir) + "/" + name).c_str()) != MODULE_SUCCESS ||
	    !obs_init_module(plugin))
		fatal(("cannot load the host plug-in " + name).c_str());
}

} // namespace

Host &Host::get()
{
	static Host host;
	return host;
}

const std::string &Host::module_config_dir() const
{
	static const std::string none;
	return config_dir ? config_dir->path() : none;
}

void Host::start_xvfb()
{
	const char *display = getenv("DISPLAY");
	if (display && *display)
		return;
	// Xvfb picks a free display number itself and writes it to the pipe once it accepts clients.
	int fds[2];
	if (pipe2(fds, 0) != 0)
		fatal("pipe for Xvfb failed");
	std::string error;
	if (!xvfb.start({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x1024x24", "-nolisten",
			 "tcp", "-noreset"},
			"/dev/null", &error))
		fatal("cannot start Xvfb (install xvfb, or set DISPLAY)");
	close(fds[1]);
	std::string number;
	char c;
	while (read(fds[0], &c, 1) == 1 && c != '\n')
		number.push_back(c);
	close(fds[0]);
	if (number.empty())
		fatal("Xvfb did not report a display");
	setenv("DISPLAY", (":" + number).c_str(), 1);
}

void Host::stop_xvfb()
{
	if (!xvfb.running())
		return;
	xvfb.signal(SIGTERM);
	xvfb.end(std::chrono::seconds(5));
	unsetenv("DISPLAY");
}

void Host::start_weston()
{
	// A private runtime folder holds the compositor's socket; Qt finds it through the same
	// variables. --debug lets weston-screenshooter take pictures; they come out right only from
	// the software renderer here (the GL one reads back a red output). The output has the size
	// of the preview tests' widget: shown full screen, it is the whole picture.
	wayland_dir = std::make_unique<TempDir>("bl-wayland");
	setenv("XDG_RUNTIME_DIR", wayland_dir->path().c_str(), 1);
	setenv("WAYLAND_DISPLAY", "bl-test", 1);
	weston = std::make_unique<ChildProcess>();
	std::string error;
	if (!weston->start({"weston", "--backend=headless-backend.so", "--use-pixman", "--socket=bl-test",
			    "--width=180", "--height=320", "--idle-time=0", "--debug"},
			   wayland_dir->file("weston.log"), &error))
		fatal(("cannot start weston (install weston): " + error).c_str());
	for (int i = 0; !file_exists(wayland_dir->file("bl-test")); ++i) { // up to 10 s
		if (!weston->running() || i == 200)
			fatal(("weston made no socket: " + read_file(wayland_dir->file("weston.log"))).c_str());
		usleep(50 * 1000);
	}
}

QImage wayland_screenshot()
{
	TempDir dir("bl-shot");
	run_command({"sh", "-c", "cd '" + dir.path() + "' && weston-screenshooter"}, std::chrono::seconds(20));
	const QStringList shots = QDir(QString::fromStdString(dir.path())).entryList({"*.png"});
	return shots.isEmpty() ? QImage() : QImage(QString::fromStdString(dir.path()) + "/" + shots.first());
}

void Host::start(const HostOptions &options)
{
	if (started)
		return;
	opts = options;
	LogCapture::get().install();
	if (opts.wayland) {
		start_weston();
		// Qt first: the host must render on the connection that Qt's surfaces belong to.
		ensure_qt_application();
		obs_set_nix_platform(OBS_NIX_PLATFORM_WAYLAND);
		obs_set_nix_platform_display(
			QGuiApplication::platformNativeInterface()->nativeResourceForIntegration("display"));
	} else {
		start_xvfb();
		Display *display = XOpenDisplay(nullptr);
		if (!display)
			fatal("XOpenDisplay failed");
		x_display = display;
		obs_set_nix_platform(OBS_NIX_PLATFORM_X11_EGL);
		obs_set_nix_platform_display(display);
	}

	config_dir = std::make_unique<TempDir>("bl-host");
	if (!obs_startup("en-US", config_dir->path().c_str(), nullptr))
		fatal("obs_startup failed");

	obs_video_info ovi = {};
	ovi.graphics_module = "libobs-opengl";
	ovi.fps_num = opts.fps_num;
	ovi.fps_den = opts.fps_den;
	ovi.base_width = ovi.output_width = opts.width;
	ovi.base_height = ovi.output_height = opts.height;
	ovi.output_format = VIDEO_FORMAT_NV12;
	ovi.colorspace = VIDEO_CS_709;
	ovi.range = VIDEO_RANGE_PARTIAL;
	ovi.gpu_conversion = true;
	ovi.scale_type = OBS_SCALE_BICUBIC;
	if (obs_reset_video(&ovi) != OBS_VIDEO_SUCCESS)
		fatal("obs_reset_video failed");

	obs_audio_info oai = {};
	oai.samples_per_sec = 48000;
	oai.speakers = SPEAKERS_STEREO;
	if (!obs_reset_audio(&oai))
		fatal("obs_reset_audio failed");

	load_host_plugin("obs-x264");
	load_host_plugin("obs-ffmpeg");
	load_host_plugin("image-source");
	obs_post_load_modules();
	started = true;
}

void Host::shutdown()
{
	if (!started)
		return;
	started = false;

	const size_t from = LogCapture::get().mark();
	const long allocs_before = bnum_allocs();
	obs_shutdown();
	const long leaked = bnum_allocs();

	for (const std::string &line : LogCapture::get().since(from))
		if (line.find("were remaining") != std::string::npos)
			ADD_FAILURE() << "libobs reports host objects still alive at shutdown:" << line;
	if (leaked > 0)
		ADD_FAILURE() << "host allocations left after shutdown: " << leaked << " (before: " << allocs_before
			      << ")";

	for (auto &hook : shutdown_hooks)
		hook();
	shutdown_hooks.clear();
	if (x_display)
		XCloseDisplay(static_cast<Display *>(x_display));
	x_display = nullptr;
	weston.reset();
	// The configuration folder stays until the process ends: tests look at what unload wrote.
	stop_xvfb();
}

} // namespace bltest
