#include "ui/vertical-preview-widget.hpp"

#include <algorithm>

#include <QEvent>
#include <QGuiApplication>
#include <QPlatformSurfaceEvent>
#include <QResizeEvent>
#include <QShowEvent>
#include <QTimer>
#include <QWindow>

#include <obs-config.h>
#include <obs.hpp>
#if defined(__linux__) || defined(__FreeBSD__)
#include <obs-nix-platform.h>
// Qt hands out a window's Wayland surface only through its platform native interface.
#include <qpa/qplatformnativeinterface.h>
// Host 29 declares its Wayland platform only when it was built with it; later hosts always do.
#if LIBOBS_API_MAJOR_VER >= 30 || defined(ENABLE_WAYLAND)
#define BL_HOST_HAS_WAYLAND 1
#endif
#endif

#include "canvas/cover-fit.hpp"
#include "canvas/vertical-canvas.hpp"
#include "ui/preview-fit.hpp"

namespace brasslight {

namespace {

constexpr uint32_t kBackgroundColour = 0x080808;
constexpr int kMinWidth = 135;
constexpr int kMinHeight = 240;

uint32_t at_least_one(int value)
{
	return static_cast<uint32_t>(std::max(value, 1));
}

} // namespace

VerticalPreviewWidget::VerticalPreviewWidget(VerticalCanvas *canvas_, QWidget *parent)
	: QWidget(parent), canvas(canvas_)
{
	// Only this widget needs a window of the platform's own: native ancestors (the dock and its
	// containers) would each become a Wayland subsurface of their own, painted by Qt over ours.
	// Set first: a widget already created makes its native window, ancestors included, at once.
	setAttribute(Qt::WA_DontCreateNativeAncestors, true);
	setAttribute(Qt::WA_NativeWindow, true);
	setAttribute(Qt::WA_PaintOnScreen, true);
	setAttribute(Qt::WA_NoSystemBackground, true);
	setMinimumSize(kMinWidth, kMinHeight);
	setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
	expose_retry = new QTimer(this);
	expose_retry->setInterval(50);
	// One try per start: only a surface not shown yet starts it again (a failed creation would
	// otherwise log its error 20 times a second).
	connect(expose_retry, &QTimer::timeout, this, [this]() {
		expose_retry->stop();
		if (isVisible() && !display)
			createDisplay();
	});
}

VerticalPreviewWidget::~VerticalPreviewWidget()
{
	destroyDisplay();
}

void VerticalPreviewWidget::setCanvas(VerticalCanvas *next)
{
	if (next == canvas)
		return;
	{
		// Why a lock of the widget's own, and why nothing but the swap happens under it:
		// drawPreview copies what it needs from the canvas (its size and a reference of its own
		// to the active source) under this lock, so once the swap is done no draw can still be
		// reading the previous canvas, and the runtime may destroy it right after. The graphics
		// thread holds the graphics context (and the display's callback lock) while it waits
		// here, so holding this lock across anything that waits for the graphics thread
		// (display creation or removal, a source release, any canvas operation) would deadlock.
		std::lock_guard<std::mutex> lock(canvas_mutex);
		canvas = next;
	}
	update();
}

QSize VerticalPreviewWidget::minimumSizeHint() const
{
	return QSize(kMinWidth, kMinHeight);
}

QPaintEngine *VerticalPreviewWidget::paintEngine() const
{
	return nullptr;
}

QSize VerticalPreviewWidget::pixelSize() const
{
	return size() * devicePixelRatioF();
}

void VerticalPreviewWidget::resizeEvent(QResizeEvent *event)
{
	QWidget::resizeEvent(event);
	if (display)
		obs_display_resize(display, at_least_one(pixelSize().width()), at_least_one(pixelSize().height()));
}

bool VerticalPreviewWidget::event(QEvent *event)
{
	// Moved to a screen of another scale factor: same logical size, other pixel size.
	if (event->type() == QEvent::ScreenChangeInternal && display)
		obs_display_resize(display, at_least_one(pixelSize().width()), at_least_one(pixelSize().height()));
	return QWidget::event(event);
}

void VerticalPreviewWidget::showEvent(QShowEvent *event)
{
	QWidget::showEvent(event);
	winId();
	if (windowHandle() && windowHandle() != watched_window) {
		windowHandle()->installEventFilter(this);
		watched_window = windowHandle();
	}
	if (display)
		return;
	createDisplay();
}

bool VerticalPreviewWidget::eventFilter(QObject *watched, QEvent *event)
{
	if (watched == windowHandle()) {
		const auto surface_event = [event]() {
			return static_cast<QPlatformSurfaceEvent *>(event)->surfaceEventType();
		};
		if (event->type() == QEvent::Expose && !display && isVisible() && windowHandle()->isExposed())
			createDisplay();
		else if (event->type() == QEvent::PlatformSurface &&
			 surface_event() == QPlatformSurfaceEvent::SurfaceAboutToBeDestroyed)
			destroyDisplay();
		// A new native surface (the dock floated or docked again): draw on it once it is shown.
		else if (event->type() == QEvent::PlatformSurface &&
			 surface_event() == QPlatformSurfaceEvent::SurfaceCreated && isVisible())
			expose_retry->start();
	}
	return QWidget::eventFilter(watched, event);
}

void VerticalPreviewWidget::hideEvent(QHideEvent *event)
{
	QWidget::hideEvent(event);
	expose_retry->stop();
	destroyDisplay();
}

bool VerticalPreviewWidget::onScreenOnWayland() const
{
	// Qt 5.15's Wayland backend makes a native child window a subsurface of its top-level's
	// surface, which the compositor shows together with the top-level. But the child is told it
	// is exposed only when its geometry changes after the top-level's first configure, not by
	// that configure itself. When the configure keeps the window's size (a main window at its
	// normal size, a floating dock), nothing moves afterwards and the child's isExposed() stays
	// false for good; a maximized window is resized, its layout moves the child, and only then
	// does the child hear of it. So a child asks its top-level, much as the host's own preview
	// does (it draws once a short timer runs out, exposed or not). A top-level of its own must
	// itself be exposed: its surface takes no frame before its first configure.
	QWindow *own = windowHandle();
	if (!own || !own->isVisible())
		return false;
	QWindow *top = own;
	while (top->parent())
		top = top->parent();
	return top->isExposed();
}

void VerticalPreviewWidget::createDisplay()
{
	const WId window = winId();
	if (window == 0) {
		blog(LOG_WARNING, "[brasslight] VerticalPreviewWidget: HWND not ready, skipping display create");
		return;
	}

	gs_init_data info = {};
#if defined(_WIN32)
	info.window.hwnd = reinterpret_cast<void *>(window);
#elif defined(__linux__) || defined(__FreeBSD__)
	switch (obs_get_nix_platform()) {
	case OBS_NIX_PLATFORM_X11_EGL:
		// The window id with the host's own connection to the X server (window ids are
		// server-wide, so Qt's connection need not be the same one).
		info.window.id = static_cast<uint32_t>(window);
		info.window.display = obs_get_nix_platform_display();
		break;
#ifdef BL_HOST_HAS_WAYLAND
	case OBS_NIX_PLATFORM_WAYLAND: {
		// The host renders into the native window's own Wayland surface, on the compositor
		// connection it shares with Qt (the host's display record takes the surface in its
		// display field; the id is unused there).
		QPlatformNativeInterface *native = QGuiApplication::platformNativeInterface();
		void *surface = native && onScreenOnWayland()
					? native->nativeResourceForWindow("surface", windowHandle())
					: nullptr;
		if (!surface) {
			expose_retry->start();
			return;
		}
		info.window.display = surface;
		break;
	}
#endif
	default:
		blog(LOG_WARNING,
		     "[brasslight] VerticalPreviewWidget: unknown windowing platform, skipping display create");
		return;
	}
#endif
	// Made at 1 x 1 and resized to the widget at once: on X11 the host sizes its drawing surface
	// from the native window as the X server sees it now, which lags behind a widget the layout
	// has just grown (Qt sends the geometry on a connection of its own), and it looks again only
	// when the display's size changes. The change makes the first frame take the widget's size.
	info.cx = 1;
	info.cy = 1;
	info.num_backbuffers = 0;
	info.format = GS_RGBA;
	info.zsformat = GS_ZS_NONE;
	info.adapter = 0;

	display = obs_display_create(&info, kBackgroundColour);
	if (!display) {
		blog(LOG_ERROR, "[brasslight] VerticalPreviewWidget: obs_display_create failed");
		return;
	}
	const uint32_t cx = at_least_one(pixelSize().width());
	const uint32_t cy = at_least_one(pixelSize().height());
	obs_display_resize(display, cx, cy);
	obs_display_add_draw_callback(display, &VerticalPreviewWidget::drawPreview, this);
	blog(LOG_INFO, "[brasslight] VerticalPreviewWidget: display created (%ux%u)", cx, cy);
}

void VerticalPreviewWidget::destroyDisplay()
{
	if (!display)
		return;
	// The removal waits for a draw under way on this display to finish (the host runs the
	// callbacks under the lock the removal takes), so after it no draw can use this widget.
	// canvas_mutex must not be held here: that draw may be waiting for it.
	obs_display_remove_draw_callback(display, &VerticalPreviewWidget::drawPreview, this);
	obs_display_destroy(display);
	display = nullptr;
	blog(LOG_INFO, "[brasslight] VerticalPreviewWidget: display destroyed");
}

void VerticalPreviewWidget::drawPreview(void *data, uint32_t cx, uint32_t cy)
{
	auto *self = static_cast<VerticalPreviewWidget *>(data);

	uint32_t canvas_w = 0;
	uint32_t canvas_h = 0;
	OBSSourceAutoRelease source;
	{
		// Held only to copy out of the canvas: its size, fixed for its life, and a reference of
		// our own to the active source, taken under the canvas's small source lock (never the
		// canvas lock, whose holder may be waiting for this very thread).
		std::lock_guard<std::mutex> lock(self->canvas_mutex);
		if (!self->canvas)
			return;
		canvas_w = self->canvas->config().width;
		canvas_h = self->canvas->config().height;
		if (canvas_w == 0 || canvas_h == 0)
			return;
		source = self->canvas->active_source();
	}
	// From here on the canvas may be reassigned or destroyed: the reference keeps the source
	// alive until this frame is drawn, and its release (possibly the last) happens on this
	// thread, where the host itself releases sources it renders.
	if (!source)
		return;
	const uint32_t source_w = obs_source_get_width(source);
	const uint32_t source_h = obs_source_get_height(source);
	if (source_w == 0 || source_h == 0)
		return;

	const PreviewViewport viewport = preview_viewport(canvas_w, canvas_h, cx, cy);
	const CoverFit fit = cover_fit(source_w, source_h, canvas_w, canvas_h);

	gs_viewport_push();
	gs_projection_push();
	gs_set_viewport(static_cast<int>(viewport.x), static_cast<int>(viewport.y), static_cast<int>(viewport.width),
			static_cast<int>(viewport.height));
	gs_ortho(0.0f, static_cast<float>(canvas_w), 0.0f, static_cast<float>(canvas_h), -100.0f, 100.0f);

	gs_matrix_push();
	gs_matrix_translate3f(fit.pos_x, fit.pos_y, 0.0f);
	gs_matrix_scale3f(fit.scale, fit.scale, 1.0f);
	obs_source_video_render(source);
	gs_matrix_pop();

	gs_projection_pop();
	gs_viewport_pop();
}

} // namespace brasslight
