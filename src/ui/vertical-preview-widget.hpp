#pragma once

#include <cstdint>
#include <mutex>

#include <QPointer>
#include <QWidget>
#include <QWindow>

class QTimer;

#include <obs.h>

namespace brasslight {

class VerticalCanvas;

// A live picture of the vertical canvas: the host's graphics draw the active slot's host scene
// into this widget's native window through a host display, letterboxed and cover-fitted as the
// canvas places it. Qt never paints it. A display exists only while the widget is shown. It takes
// all the room its parent gives it: the draw letterboxes the canvas inside, so its own size never
// depends on its height and the layout settles in one pass.
class VerticalPreviewWidget : public QWidget {
	Q_OBJECT

public:
	VerticalPreviewWidget(VerticalCanvas *canvas, QWidget *parent = nullptr);
	~VerticalPreviewWidget() override;

	// Once this returns, no draw reads the previous canvas any more: the caller may destroy it.
	void setCanvas(VerticalCanvas *canvas);
	VerticalCanvas *currentCanvas() const { return canvas; }

	bool hasDisplay() const { return display != nullptr; }

	QSize minimumSizeHint() const override;
	QPaintEngine *paintEngine() const override;

protected:
	void resizeEvent(QResizeEvent *event) override;
	void showEvent(QShowEvent *event) override;
	void hideEvent(QHideEvent *event) override;
	bool event(QEvent *event) override;
	// Watches the native window: on Wayland its surface is made and destroyed with the window's
	// visibility and with each move between top-level windows (the dock floated or docked).
	bool eventFilter(QObject *watched, QEvent *event) override;

private:
	// Runs on the host's graphics thread, once per frame of the display.
	static void drawPreview(void *data, uint32_t cx, uint32_t cy);
	void createDisplay();
	void destroyDisplay();
	// Whether frames drawn into the native window's Wayland surface would appear now.
	bool onScreenOnWayland() const;
	// The widget's size in device pixels: the display renders in those, at any scale factor.
	QSize pixelSize() const;

	// Written on the user-interface thread under canvas_mutex; read there without it.
	VerticalCanvas *canvas;
	obs_display_t *display = nullptr;
	// The native window whose events are watched (Qt may replace it when the dock is reparented).
	QPointer<QWindow> watched_window;
	// Tries the display again until the surface is on screen: on Wayland no event of Qt's says
	// when a native child window's surface is (see onScreenOnWayland).
	QTimer *expose_retry = nullptr;
	// Held by drawPreview while it reads the canvas, and by setCanvas while it swaps the pointer:
	// see setCanvas for why nothing else may be done under it.
	std::mutex canvas_mutex;
};

} // namespace brasslight
