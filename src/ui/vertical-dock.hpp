#pragma once

#include <QString>
#include <QWidget>

class QLabel;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QTimer;

namespace brasslight {

class VerticalCanvas;
class VerticalOutput;
class VerticalPreviewWidget;

// The panel through which the user works the vertical canvas: the live preview, the slot list
// with the active slot marked, the slot buttons, Start and Stop, and the stream status. The host
// wraps it in a dock frame of its own. It never owns the canvas or the output controller: the
// runtime hands them in with setRuntime, and two nulls before it destroys them.
class VerticalDock : public QWidget {
	Q_OBJECT

public:
	VerticalDock(VerticalCanvas *canvas, VerticalOutput *output, QWidget *parent = nullptr);
	~VerticalDock() override = default;

	void setRuntime(VerticalCanvas *canvas, VerticalOutput *output);
	void refreshSceneList();
	void updateStatus();
	// The plain slot name of the list's current item, or an empty string.
	QString selectedSceneName() const;

protected:
	// Enter or Space on the slot list activates the selected slot, as a click does.
	bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
	void onActiveSceneChanged(QString sceneName);
	void onSceneItemClicked(QListWidgetItem *item);
	void onAddScene();
	void onRemoveScene();
	void onRenameScene();
	void onConfigureScene();
	void onStartClicked();
	void onStopClicked();
	void onStatusTick();

private:
	void buildUi();
	void fitSceneListHeight();
	QPushButton *makeButton(const char *text, const char *tooltip, const char *accessibleName,
				void (VerticalDock::*slot)());

	VerticalCanvas *canvas = nullptr;
	VerticalOutput *output = nullptr;
	VerticalPreviewWidget *preview = nullptr;
	QLabel *headerLabel = nullptr;
	QListWidget *sceneList = nullptr;
	QPushButton *addButton = nullptr;
	QPushButton *removeButton = nullptr;
	QPushButton *renameButton = nullptr;
	QPushButton *assignButton = nullptr;
	QPushButton *startButton = nullptr;
	QPushButton *stopButton = nullptr;
	QLabel *statusLabel = nullptr;
	QTimer *statusTimer = nullptr;
};

} // namespace brasslight
