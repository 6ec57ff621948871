#pragma once

#include <string>

#include <QString>
#include <QWidget>

class QLabel;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QTimer;

namespace brasslight {

class Runtime;
class VerticalOutput;
struct ActionResult;
class VerticalPreviewWidget;

// The panel through which the user works the vertical canvas: the live preview, the slot list
// with the active slot marked, the slot buttons, Start and Stop, and the stream status. The host
// wraps it in a dock frame of its own. It asks the runtime for its canvas and output controller
// each time it needs them, on the user-interface thread, where they are built and destroyed too;
// only the preview, which draws on the graphics thread, holds the canvas, until detach().
class VerticalDock : public QWidget {
	Q_OBJECT

public:
	explicit VerticalDock(Runtime *runtime, QWidget *parent = nullptr);
	~VerticalDock() override = default;

	// Null at unload: the host's main window may keep the widget a little longer than the runtime.
	void setRuntime(Runtime *runtime);
	// The preview follows the runtime's canvas, the list its slots, the status line its stream.
	void refresh();
	// The canvas is about to go: the preview lets go of it.
	void detach();
	void refreshSceneList();
	void updateStatus();
	// The file a recording or a saved replay was written to.
	void showSavedFile(const std::string &path);
	// The plain slot name of the list's current item, or an empty string.
	QString selectedSceneName() const;

protected:
	// Enter or Space on the slot list activates the selected slot, as a click does.
	bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
	void onSceneItemClicked(QListWidgetItem *item);
	void onAddScene();
	void onRemoveScene();
	void onRenameScene();
	void onConfigureScene();
	void onStartClicked();
	void onStopClicked();
	void onRecordClicked();
	void onReplayClicked();
	void onSaveReplayClicked();
	void onStatusTick();

private:
	void buildUi();
	void fitSceneListHeight();
	QPushButton *makeButton(const char *key, void (VerticalDock::*slot)());
	void refuse(const QString &title, const QString &typed, const ActionResult &result);
	void updateFiles(const VerticalOutput &output);

	Runtime *runtime = nullptr;
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
	// One line per destination, shown when there are several.
	QLabel *destinationsLabel = nullptr;
	QPushButton *recordButton = nullptr;
	QPushButton *replayButton = nullptr;
	QPushButton *saveReplayButton = nullptr;
	QLabel *fileLabel = nullptr;
	// Whether the recording ran at the last look: its end shows the file.
	bool wasRecording = false;
	QTimer *statusTimer = nullptr;
};

} // namespace brasslight
