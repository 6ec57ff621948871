#include "ui/vertical-dock.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include <QColor>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>

#include "canvas/vertical-canvas.hpp"
#include "output/vertical-output.hpp"
#include "runtime/runtime.hpp"
#include "ui/scene-config-dialog.hpp"
#include "ui/ui-text.hpp"
#include "ui/vertical-preview-widget.hpp"

namespace brasslight {

namespace {

constexpr const char *kSmallGrey = "font-size: 11px; color: #888;";
constexpr const char *kStreamingStyle = "font-size: 11px; color: #4caf50; font-weight: bold;";
constexpr const char *kRefusedStyle = "font-size: 11px; color: #e57373;";
constexpr const char *kReconnectingStyle = "font-size: 11px; color: #ffb300; font-weight: bold;";
constexpr int kStatusIntervalMs = 500;

struct StatusLine {
	QString text;
	const char *style;
};

// "Streaming" only while packets reach the server: a lost connection that the output is still
// trying to get back says so, however long that takes. A stopped stream whose last start was
// refused says why.
StatusLine status_line(const MuxStatus &status, const std::string &refused)
{
	switch (status.state) {
	case MuxState::Connecting:
		return {tr_text("Status.Connecting"), kSmallGrey};
	case MuxState::Reconnecting:
		return {tr_text("Status.Reconnecting"), kReconnectingStyle};
	case MuxState::Streaming:
		// The link fell so far behind that the queued video was dropped: the server has the
		// sound and no picture until the next keyframe.
		if (status.video_paused)
			return {tr_text("Status.VideoPaused"), kReconnectingStyle};
		if (status.frames_dropped == 0)
			return {tr_text("Status.Streaming"), kStreamingStyle};
		return {tr_text("Status.StreamingDropped").arg(status.dropped_share() * 100.0, 0, 'f', 1),
			kStreamingStyle};
	case MuxState::Stopped:
		break;
	}
	if (!refused.empty())
		return {tr_text("Status.NotStarted") + utf8(refused), kRefusedStyle};
	return {tr_text("Status.Stopped"), kSmallGrey};
}

QString sceneHeader(const std::string &active)
{
	return active.empty() ? tr_text("Dock.NoActiveScene") : tr_text("Dock.ActiveScene") + utf8(active);
}

} // namespace

VerticalDock::VerticalDock(Runtime *runtime_, QWidget *parent) : QWidget(parent), runtime(runtime_)
{
	buildUi();
	statusTimer = new QTimer(this);
	statusTimer->setInterval(kStatusIntervalMs);
	connect(statusTimer, &QTimer::timeout, this, &VerticalDock::onStatusTick);
	statusTimer->start();
	refresh();
}

QPushButton *VerticalDock::makeButton(const char *key, void (VerticalDock::*slot)())
{
	const std::string base(key);
	auto *button = new QPushButton(tr_text(key), this);
	button->setToolTip(tr_text((base + ".Tooltip").c_str()));
	// A screen reader would read "+ Add" as "plus Add": each button gets a name that says what it does.
	button->setAccessibleName(tr_text((base + ".Name").c_str()));
	connect(button, &QPushButton::clicked, this, slot);
	return button;
}

void VerticalDock::buildUi()
{
	setObjectName(QStringLiteral("BrasslightVerticalCanvasDock"));
	setWindowTitle(tr_text("Dock.Title"));
	setMinimumWidth(270);
	setMaximumWidth(540);

	auto *layout = new QVBoxLayout(this);
	layout->setContentsMargins(4, 4, 4, 4);
	layout->setSpacing(4);

	headerLabel = new QLabel(tr_text("Dock.Title"), this);
	headerLabel->setAlignment(Qt::AlignCenter);
	headerLabel->setStyleSheet(QStringLiteral("font-size: 11px; color: #aaa;"));
	layout->addWidget(headerLabel);

	// The preview takes all spare room, the only item that stretches; it letterboxes the canvas
	// inside itself, so its size follows the dock and never its own content.
	auto *previewContainer = new QWidget(this);
	previewContainer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
	previewContainer->setStyleSheet(QStringLiteral("background: #181818;"));
	auto *previewLayout = new QHBoxLayout(previewContainer);
	previewLayout->setContentsMargins(0, 0, 0, 0);
	previewLayout->setSpacing(0);
	preview = new VerticalPreviewWidget(nullptr, previewContainer);
	preview->setAccessibleName(tr_text("Dock.Preview.Name"));
	previewLayout->addWidget(preview);
	layout->addWidget(previewContainer, 1);

	auto *scenesLabel = new QLabel(tr_text("Dock.Scenes"), this);
	scenesLabel->setStyleSheet(QString::fromUtf8(kSmallGrey));
	layout->addWidget(scenesLabel);

	sceneList = new QListWidget(this);
	fitSceneListHeight();
	sceneList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
	sceneList->setStyleSheet(QStringLiteral(
		"QListWidget { font-size: 12px; }QListWidget::item:selected { background: #2a6099; color: white; }"));
	sceneList->setAccessibleName(tr_text("Dock.Scenes.Name"));
	connect(sceneList, &QListWidget::itemClicked, this, &VerticalDock::onSceneItemClicked);
	// Arrow keys only move the selection (the list's own behaviour); Enter and Space switch.
	sceneList->installEventFilter(this);
	layout->addWidget(sceneList);

	auto *sceneButtons = new QGridLayout();
	sceneButtons->setSpacing(4);
	sceneButtons->setContentsMargins(0, 0, 0, 0);
	addButton = makeButton("Dock.Add", &VerticalDock::onAddScene);
	removeButton = makeButton("Dock.Remove", &VerticalDock::onRemoveScene);
	renameButton = makeButton("Dock.Rename", &VerticalDock::onRenameScene);
	assignButton = makeButton("Dock.Assign", &VerticalDock::onConfigureScene);
	sceneButtons->addWidget(addButton, 0, 0);
	sceneButtons->addWidget(removeButton, 0, 1);
	sceneButtons->addWidget(renameButton, 1, 0);
	sceneButtons->addWidget(assignButton, 1, 1);
	layout->addLayout(sceneButtons);

	auto *streamButtons = new QHBoxLayout();
	streamButtons->setSpacing(6);
	startButton = makeButton("Dock.Start", &VerticalDock::onStartClicked);
	stopButton = makeButton("Dock.Stop", &VerticalDock::onStopClicked);
	streamButtons->addWidget(startButton);
	streamButtons->addWidget(stopButton);
	layout->addLayout(streamButtons);

	statusLabel = new QLabel(tr_text("Status.Stopped"), this);
	statusLabel->setAlignment(Qt::AlignCenter);
	statusLabel->setStyleSheet(QString::fromUtf8(kSmallGrey));
	layout->addWidget(statusLabel);

	destinationsLabel = new QLabel(this);
	destinationsLabel->setStyleSheet(QString::fromUtf8(kSmallGrey));
	destinationsLabel->setVisible(false);
	layout->addWidget(destinationsLabel);

	auto *fileButtons = new QHBoxLayout();
	fileButtons->setSpacing(6);
	recordButton = makeButton("Dock.Record", &VerticalDock::onRecordClicked);
	replayButton = makeButton("Dock.Replay", &VerticalDock::onReplayClicked);
	saveReplayButton = makeButton("Dock.SaveReplay", &VerticalDock::onSaveReplayClicked);
	fileButtons->addWidget(recordButton);
	fileButtons->addWidget(replayButton);
	fileButtons->addWidget(saveReplayButton);
	layout->addLayout(fileButtons);

	fileLabel = new QLabel(this);
	fileLabel->setStyleSheet(QString::fromUtf8(kSmallGrey));
	fileLabel->setWordWrap(true);
	fileLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
	layout->addWidget(fileLabel);
}

void VerticalDock::setRuntime(Runtime *next)
{
	if (!next)
		detach();
	runtime = next;
	refresh();
}

void VerticalDock::refresh()
{
	VerticalCanvas *canvas = runtime ? runtime->canvas() : nullptr;
	if (preview->currentCanvas() != canvas) {
		preview->setCanvas(canvas);
		preview->update();
	}
	refreshSceneList();
	updateStatus();
}

void VerticalDock::detach()
{
	// setCanvas returns only once no draw reads the previous canvas: the runtime destroys it
	// right after.
	preview->setCanvas(nullptr);
}

void VerticalDock::refreshSceneList()
{
	sceneList->blockSignals(true);
	sceneList->clear();
	sceneList->blockSignals(false);

	const VerticalCanvas *canvas = runtime ? runtime->canvas() : nullptr;
	if (!canvas) {
		headerLabel->setText(sceneHeader({}));
		for (QPushButton *button : {addButton, removeButton, renameButton, assignButton})
			button->setEnabled(false);
		return;
	}
	addButton->setEnabled(true);

	// Separate snapshots, each under the canvas's lock for its own call only.
	const std::vector<std::string> names = canvas->slot_names();
	const std::string active = canvas->active_slot_name();

	sceneList->blockSignals(true);
	for (const std::string &name : names) {
		const std::string source = canvas->slot_scene_name(name);
		const bool isActive = name == active;
		QString whole = utf8(name);
		if (!source.empty())
			whole += QStringLiteral(" [") + utf8(source) + QStringLiteral("]");
		const bool missing = canvas->slot_scene_missing(name);
		if (missing)
			whole += QStringLiteral(" ") + tr_text("Dock.Missing");
		auto *item = new QListWidgetItem((isActive ? QStringLiteral("\u25BA ") : QStringLiteral(" ")) + whole,
						 sceneList);
		// The list cuts long names off at its edge: the tooltip has the whole text.
		item->setToolTip(whole);
		// Every call into the runtime uses this plain name, never the decorated text.
		item->setData(Qt::UserRole, utf8(name));
		if (missing) {
			item->setForeground(QColor(0x88, 0x88, 0x88));
			item->setToolTip(tr_text("Dock.Missing.Tooltip").arg(utf8(source)));
		}
		if (isActive) {
			QFont font = item->font();
			font.setWeight(QFont::Bold);
			item->setFont(font);
			sceneList->setCurrentItem(item);
		}
	}
	sceneList->blockSignals(false);
	fitSceneListHeight();

	const bool any = sceneList->count() > 0;
	removeButton->setEnabled(any);
	renameButton->setEnabled(any);
	assignButton->setEnabled(any);
	headerLabel->setText(sceneHeader(active));
}

void VerticalDock::updateStatus()
{
	const VerticalOutput *output = runtime ? runtime->output() : nullptr;
	if (!output) {
		statusLabel->setText(tr_text("Status.NoOutput"));
		statusLabel->setStyleSheet(QString::fromUtf8(kSmallGrey));
		for (QPushButton *button : {startButton, stopButton, recordButton, replayButton, saveReplayButton})
			button->setEnabled(false);
		destinationsLabel->setVisible(false);
		return;
	}
	updateFiles(*output);
	const std::vector<VerticalOutput::DestinationState> states = output->destination_states();
	destinationsLabel->setVisible(states.size() > 1);
	if (states.size() > 1) {
		QStringList lines;
		for (const auto &state : states) {
			const StatusLine line = status_line(state.status, std::string());
			lines << utf8(state.destination.name) + QStringLiteral(": ") +
					 (state.destination.enabled || state.active ? line.text
										    : tr_text("Status.Disabled"));
		}
		destinationsLabel->setText(lines.join(QStringLiteral("\n")));
	}
	const bool active = output->is_active();
	const MuxStatus status = output->stream_status();
	StatusLine line = status_line(status, active ? std::string() : output->refusal_reason());
	// What the adaptive bitrate made of the set one.
	if (status.state == MuxState::Streaming)
		line.text += tr_text("Status.Bitrate").arg(output->video_bitrate_kbps());
	statusLabel->setText(line.text);
	statusLabel->setStyleSheet(QString::fromUtf8(line.style));
	startButton->setEnabled(!active);
	stopButton->setEnabled(active);
}

// Three to five rows without scrolling, as tall as the host's theme draws them: a fixed height in
// pixels showed two and a half rows under the host's padded themes.
void VerticalDock::fitSceneListHeight()
{
	const int row = sceneList->count() > 0 ? sceneList->sizeHintForRow(0) : sceneList->fontMetrics().height() + 8;
	const int rows = std::clamp(sceneList->count(), 3, 5);
	sceneList->setFixedHeight(rows * row + 2 * sceneList->frameWidth());
}

bool VerticalDock::eventFilter(QObject *watched, QEvent *event)
{
	if (watched == sceneList && event->type() == QEvent::KeyPress) {
		const int key = static_cast<QKeyEvent *>(event)->key();
		if ((key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) &&
		    sceneList->currentItem()) {
			onSceneItemClicked(sceneList->currentItem());
			return true;
		}
	}
	return QWidget::eventFilter(watched, event);
}

QString VerticalDock::selectedSceneName() const
{
	const QListWidgetItem *item = sceneList->currentItem();
	return item ? item->data(Qt::UserRole).toString() : QString();
}

// A refused name, quoted as typed, with the reason the runtime gave (which remote clients get too).
void VerticalDock::refuse(const QString &title, const QString &typed, const ActionResult &result)
{
	if (result.ok)
		return;
	QMessageBox::warning(this, title,
			     result.name_taken ? tr_text("Dock.NameTaken").arg(typed)
					       : tr_text("Dock.NameRefused").arg(typed, utf8(result.error)));
}

// Every action goes through the runtime, which refuses when there is no canvas: a prompt's event
// loop serves host events too, and a profile switch may have taken the canvas away meanwhile.

void VerticalDock::onSceneItemClicked(QListWidgetItem *item)
{
	if (!runtime || !item)
		return;
	// Not saved here: the next add, remove, rename or assign, or the next teardown, stores it.
	runtime->activate_slot(utf8(item->data(Qt::UserRole).toString()));
	refreshSceneList();
}

void VerticalDock::onAddScene()
{
	bool ok = false;
	const QString typed = QInputDialog::getText(this, tr_text("Dock.AddTitle"), tr_text("Dock.AddPrompt"),
						    QLineEdit::Normal, QString(), &ok);
	if (!ok || typed.trimmed().isEmpty() || !runtime)
		return;
	refuse(tr_text("Dock.AddTitle"), typed, runtime->add_slot(utf8(typed)));
	refreshSceneList();
}

void VerticalDock::onRemoveScene()
{
	const QString name = selectedSceneName();
	if (name.isEmpty())
		return;
	// Cancel is the default: Enter, pressed out of habit or still held from the list, must not
	// delete a slot.
	const QMessageBox::StandardButton answer =
		QMessageBox::question(this, tr_text("Dock.RemoveTitle"), tr_text("Dock.RemoveQuestion").arg(name),
				      QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
	if (answer != QMessageBox::Yes || !runtime)
		return;
	runtime->remove_slot(utf8(name));
	refreshSceneList();
}

void VerticalDock::onRenameScene()
{
	const QString old = selectedSceneName();
	if (old.isEmpty())
		return;
	bool ok = false;
	const QString typed = QInputDialog::getText(this, tr_text("Dock.RenameTitle"), tr_text("Dock.RenamePrompt"),
						    QLineEdit::Normal, old, &ok);
	if (!ok || typed.trimmed().isEmpty() || typed.trimmed() == old || !runtime)
		return;
	refuse(tr_text("Dock.RenameTitle"), typed, runtime->rename_slot(utf8(old), utf8(typed)));
	refreshSceneList();
}

void VerticalDock::onConfigureScene()
{
	if (!runtime || !runtime->canvas())
		return;
	const QString slot = selectedSceneName();
	if (slot.isEmpty()) {
		QMessageBox::information(this, tr_text("Dock.ConfigureTitle"), tr_text("Dock.SelectFirst"));
		return;
	}
	SceneConfigDialog dialog(slot, utf8(runtime->canvas()->slot_scene_name(utf8(slot))), this);
	if (dialog.exec() != QDialog::Accepted || !runtime)
		return;
	runtime->assign_slot_scene(utf8(slot), utf8(dialog.selectedSource()));
	refreshSceneList();
}

void VerticalDock::onStartClicked()
{
	if (!runtime)
		return;
	// Through the runtime: settings saved since the canvas was built are applied first.
	runtime->start_stream();
	updateStatus();
}

void VerticalDock::onStopClicked()
{
	if (!runtime)
		return;
	runtime->stop_stream();
	updateStatus();
}

void VerticalDock::updateFiles(const VerticalOutput &output)
{
	const bool recording = output.recording_active();
	const bool replaying = output.replay_buffer_active();
	recordButton->setEnabled(true);
	recordButton->setText(tr_text(recording ? "Dock.StopRecording" : "Dock.Record"));
	replayButton->setEnabled(true);
	replayButton->setText(tr_text(replaying ? "Dock.StopReplay" : "Dock.Replay"));
	saveReplayButton->setEnabled(replaying);
	if (recording && !wasRecording)
		fileLabel->setText(tr_text("Dock.RecordingTo") + utf8(output.recording_path()));
	else if (!recording && wasRecording)
		fileLabel->setText(tr_text("Dock.Recorded") + utf8(output.recording_path()));
	wasRecording = recording;
}

void VerticalDock::showSavedFile(const std::string &path)
{
	fileLabel->setText(tr_text("Dock.ReplaySaved") + utf8(path));
}

void VerticalDock::onRecordClicked()
{
	if (!runtime || !runtime->output())
		return;
	if (runtime->output()->recording_active())
		runtime->stop_recording();
	else if (const ActionResult result = runtime->start_recording(); !result.ok)
		fileLabel->setText(tr_text("Dock.RecordingRefused") + utf8(result.error));
	updateStatus();
}

void VerticalDock::onReplayClicked()
{
	if (!runtime || !runtime->output())
		return;
	if (runtime->output()->replay_buffer_active())
		runtime->stop_replay_buffer();
	else if (const ActionResult result = runtime->start_replay_buffer(); !result.ok)
		fileLabel->setText(tr_text("Dock.RecordingRefused") + utf8(result.error));
	updateStatus();
}

void VerticalDock::onSaveReplayClicked()
{
	if (runtime)
		runtime->save_replay();
}

void VerticalDock::onStatusTick()
{
	updateStatus();
}

} // namespace brasslight
