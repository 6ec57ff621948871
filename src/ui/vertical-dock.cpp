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
#include <QTimer>
#include <QVBoxLayout>

#include <obs.h>

#include "actions/slot-actions.hpp"
#include "canvas/vertical-canvas.hpp"
#include "module/runtime.hpp"
#include "output/vertical-output.hpp"
#include "ui/scene-config-dialog.hpp"
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
		return {QString::fromUtf8("Connecting…"), kSmallGrey};
	case MuxState::Reconnecting:
		return {QString::fromUtf8("Reconnecting…"), kReconnectingStyle};
	case MuxState::Streaming:
		if (status.frames_dropped == 0)
			return {QStringLiteral("Streaming"), kStreamingStyle};
		return {QStringLiteral("Streaming (%1% dropped)").arg(status.dropped_share() * 100.0, 0, 'f', 1),
			kStreamingStyle};
	case MuxState::Stopped:
		break;
	}
	if (!refused.empty())
		return {QStringLiteral("Not started: ") + QString::fromUtf8(refused.c_str()), kRefusedStyle};
	return {QStringLiteral("Stopped"), kSmallGrey};
}

QString utf8(const std::string &text)
{
	return QString::fromUtf8(text.c_str());
}

std::string utf8(const QString &text)
{
	return text.toUtf8().toStdString();
}

QString refusedText(const QString &typed)
{
	return QStringLiteral("A scene named \"%1\" already exists.").arg(typed);
}

} // namespace

VerticalDock::VerticalDock(VerticalCanvas *canvas_, VerticalOutput *output_, QWidget *parent)
	: QWidget(parent), canvas(canvas_), output(output_)
{
	buildUi();
	statusTimer = new QTimer(this);
	statusTimer->setInterval(kStatusIntervalMs);
	statusTimer->setSingleShot(false);
	connect(statusTimer, &QTimer::timeout, this, &VerticalDock::onStatusTick);
	statusTimer->start();
	updateStatus();
}

QPushButton *VerticalDock::makeButton(const char *text, const char *tooltip, const char *accessibleName,
				      void (VerticalDock::*slot)())
{
	auto *button = new QPushButton(QString::fromUtf8(text), this);
	button->setToolTip(QString::fromUtf8(tooltip));
	// A screen reader would read "+ Add" as "plus Add": each button gets a name that says what it does.
	button->setAccessibleName(QString::fromUtf8(accessibleName));
	connect(button, &QPushButton::clicked, this, slot);
	return button;
}

void VerticalDock::buildUi()
{
	setObjectName(QStringLiteral("BrasslightVerticalCanvasDock"));
	setWindowTitle(QStringLiteral("Vertical Canvas"));
	setMinimumWidth(270);
	setMaximumWidth(540);

	auto *layout = new QVBoxLayout(this);
	layout->setContentsMargins(4, 4, 4, 4);
	layout->setSpacing(4);

	headerLabel = new QLabel(QStringLiteral("Vertical Canvas"), this);
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
	preview = new VerticalPreviewWidget(canvas, previewContainer);
	preview->setAccessibleName(QStringLiteral("Vertical canvas preview"));
	previewLayout->addWidget(preview);
	layout->addWidget(previewContainer, 1);

	auto *scenesLabel = new QLabel(QStringLiteral("Scenes"), this);
	scenesLabel->setStyleSheet(QString::fromUtf8(kSmallGrey));
	layout->addWidget(scenesLabel);

	sceneList = new QListWidget(this);
	fitSceneListHeight();
	sceneList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
	sceneList->setStyleSheet(QStringLiteral(
		"QListWidget { font-size: 12px; }QListWidget::item:selected { background: #2a6099; color: white; }"));
	sceneList->setAccessibleName(QStringLiteral("Vertical scenes"));
	connect(sceneList, &QListWidget::itemClicked, this, &VerticalDock::onSceneItemClicked);
	// Arrow keys only move the selection (the list's own behaviour); Enter and Space switch.
	sceneList->installEventFilter(this);
	layout->addWidget(sceneList);

	auto *sceneButtons = new QGridLayout();
	sceneButtons->setSpacing(4);
	sceneButtons->setContentsMargins(0, 0, 0, 0);
	addButton = makeButton("+ Add", "Add a new vertical scene", "Add vertical scene", &VerticalDock::onAddScene);
	removeButton =
		makeButton("- Remove", "Remove selected scene", "Remove vertical scene", &VerticalDock::onRemoveScene);
	renameButton =
		makeButton("Rename", "Rename selected scene", "Rename vertical scene", &VerticalDock::onRenameScene);
	assignButton = makeButton("Assign OBS Scene",
				  "Assign an OBS scene to this vertical slot. Build your 9:16 layout in OBS's scene "
				  "editor -- changes appear live.",
				  "Assign OBS scene", &VerticalDock::onConfigureScene);
	sceneButtons->addWidget(addButton, 0, 0);
	sceneButtons->addWidget(removeButton, 0, 1);
	sceneButtons->addWidget(renameButton, 1, 0);
	sceneButtons->addWidget(assignButton, 1, 1);
	layout->addLayout(sceneButtons);

	auto *streamButtons = new QHBoxLayout();
	streamButtons->setSpacing(6);
	startButton =
		makeButton("Start", "Start vertical stream", "Start vertical stream", &VerticalDock::onStartClicked);
	stopButton = makeButton("Stop", "Stop vertical stream", "Stop vertical stream", &VerticalDock::onStopClicked);
	streamButtons->addWidget(startButton);
	streamButtons->addWidget(stopButton);
	layout->addLayout(streamButtons);

	statusLabel = new QLabel(QStringLiteral("Stopped"), this);
	statusLabel->setAlignment(Qt::AlignCenter);
	statusLabel->setStyleSheet(QString::fromUtf8(kSmallGrey));
	layout->addWidget(statusLabel);
}

void VerticalDock::setRuntime(VerticalCanvas *canvas_, VerticalOutput *output_)
{
	canvas = canvas_;
	output = output_;
	// setCanvas returns only once no draw reads the previous canvas: the runtime destroys it
	// right after handing us nulls.
	if (preview && preview->currentCanvas() != canvas) {
		preview->setCanvas(canvas);
		preview->update();
	}
	refreshSceneList();
	updateStatus();
}

void VerticalDock::refreshSceneList()
{
	sceneList->blockSignals(true);
	sceneList->clear();
	sceneList->blockSignals(false);

	if (!canvas) {
		headerLabel->setText(QStringLiteral("No active scene"));
		addButton->setEnabled(false);
		removeButton->setEnabled(false);
		renameButton->setEnabled(false);
		assignButton->setEnabled(false);
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
			whole += QStringLiteral(" (missing)");
		auto *item = new QListWidgetItem((isActive ? QStringLiteral("\u25BA ") : QStringLiteral(" ")) + whole,
						 sceneList);
		// The list cuts long names off at its edge: the tooltip has the whole text.
		item->setToolTip(whole);
		// Every call into the canvas uses this plain name, never the decorated text.
		item->setData(Qt::UserRole, utf8(name));
		if (missing) {
			item->setForeground(QColor(0x88, 0x88, 0x88));
			item->setToolTip(
				QStringLiteral("The host has no scene named '") + utf8(source) +
				QStringLiteral("'. The slot shows it again when a scene of that name exists."));
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
	headerLabel->setText(active.empty() ? QStringLiteral("No active scene")
					    : QStringLiteral("Scene: ") + utf8(active));
}

void VerticalDock::updateStatus()
{
	if (!output) {
		statusLabel->setText(QStringLiteral("No output"));
		statusLabel->setStyleSheet(QString::fromUtf8(kSmallGrey));
		startButton->setEnabled(false);
		stopButton->setEnabled(false);
		return;
	}
	const bool active = output->is_active();
	const StatusLine line = status_line(output->stream_status(), active ? std::string() : output->refusal_reason());
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

void VerticalDock::onActiveSceneChanged(QString sceneName)
{
	headerLabel->setText(sceneName.isEmpty() ? QStringLiteral("No active scene")
						 : QStringLiteral("Scene: ") + sceneName);
}

void VerticalDock::onSceneItemClicked(QListWidgetItem *item)
{
	if (!canvas || !item)
		return;
	// Not saved here: the next add, remove, rename or assign, or the next teardown, stores it.
	activate_slot(canvas, utf8(item->data(Qt::UserRole).toString()));
	refreshSceneList();
}

void VerticalDock::onAddScene()
{
	if (!canvas)
		return;
	bool ok = false;
	const QString typed = QInputDialog::getText(this, QStringLiteral("Add Scene"), QStringLiteral("Scene name:"),
						    QLineEdit::Normal, QString(), &ok);
	const QString name = typed.trimmed();
	// A prompt's event loop serves host events too: a profile switch may have taken the
	// runtime away meanwhile, so the canvas is checked again after every modal dialog.
	if (!ok || name.isEmpty() || !canvas)
		return;
	if (!add_slot(canvas, utf8(name)).ok) {
		QMessageBox::warning(this, QStringLiteral("Add Scene"), refusedText(typed));
		return;
	}
	refreshSceneList();
}

void VerticalDock::onRemoveScene()
{
	if (!canvas)
		return;
	const QString name = selectedSceneName();
	if (name.isEmpty())
		return;
	// Cancel is the default: Enter, pressed out of habit or still held from the list, must not
	// delete a slot.
	const QMessageBox::StandardButton answer =
		QMessageBox::question(this, QStringLiteral("Remove Scene"),
				      QStringLiteral("Remove scene \"%1\"? This cannot be undone.").arg(name),
				      QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
	if (answer != QMessageBox::Yes || !canvas)
		return;
	remove_slot(canvas, utf8(name));
	refreshSceneList();
}

void VerticalDock::onRenameScene()
{
	if (!canvas)
		return;
	const QString old = selectedSceneName();
	if (old.isEmpty())
		return;
	bool ok = false;
	const QString typed = QInputDialog::getText(this, QStringLiteral("Rename Scene"), QStringLiteral("New name:"),
						    QLineEdit::Normal, old, &ok);
	const QString name = typed.trimmed();
	if (!ok || name.isEmpty() || name == old || !canvas)
		return;
	if (!rename_slot(canvas, utf8(old), utf8(name)).ok) {
		QMessageBox::warning(this, QStringLiteral("Rename Scene"), refusedText(typed));
		return;
	}
	refreshSceneList();
}

void VerticalDock::onConfigureScene()
{
	if (!canvas)
		return;
	const QString slot = selectedSceneName();
	if (slot.isEmpty()) {
		QMessageBox::information(this, QStringLiteral("Configure Scene"),
					 QStringLiteral("Select a scene from the list first."));
		return;
	}
	const QString current = utf8(canvas->slot_scene_name(utf8(slot)));
	SceneConfigDialog dialog(slot, current, this);
	if (dialog.exec() != QDialog::Accepted)
		return;
	if (!canvas)
		return;
	assign_slot_scene(canvas, utf8(slot), utf8(dialog.selectedSource()));
	refreshSceneList();
}

void VerticalDock::onStartClicked()
{
	if (!output)
		return;
	// Through the runtime: settings saved since the canvas was built are applied first.
	start_vertical_output();
	updateStatus();
}

void VerticalDock::onStopClicked()
{
	if (!output)
		return;
	stop_vertical_stream(output);
	updateStatus();
}

void VerticalDock::onStatusTick()
{
	updateStatus();
}

} // namespace brasslight
