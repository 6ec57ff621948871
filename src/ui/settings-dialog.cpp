#include "ui/settings-dialog.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "output/vertical-output.hpp"
#include "runtime/runtime.hpp"
#include "ui/destinations-editor.hpp"
#include "ui/ui-text.hpp"

namespace brasslight {

namespace {

constexpr const char *kPresets[] = {"ultrafast", "superfast", "veryfast", "faster",  "fast",
				    "medium",    "slow",      "slower",   "veryslow"};
constexpr int kFallbackPresetIndex = 2;
constexpr int kColumnWidth = 400;
// MKV first, the default: a file cut off by a crash still plays.
constexpr const char *kFormats[] = {"mkv", "mp4"};

QSpinBox *makeSpin(QWidget *parent, int low, int high, int step, const char *suffix_key)
{
	auto *spin = new QSpinBox(parent);
	spin->setRange(low, high);
	if (step > 0)
		spin->setSingleStep(step);
	if (suffix_key)
		spin->setSuffix(tr_text(suffix_key));
	return spin;
}

// A stored value is unsigned 32-bit: bounded in that domain first, so that a huge value (a
// hand-edited file) shows as the maximum rather than wrapping to a negative int and showing as
// the minimum.
void setClamped(QSpinBox *spin, uint32_t value)
{
	const auto high = static_cast<uint32_t>(spin->maximum());
	const auto low = static_cast<uint32_t>(spin->minimum());
	spin->setValue(static_cast<int>(std::clamp(value, low, high)));
}

QFormLayout *groupForm(QGroupBox *group)
{
	auto *form = new QFormLayout(group);
	form->setSpacing(8);
	return form;
}

QLabel *note(const QString &text, QWidget *parent)
{
	auto *label = new QLabel(text, parent);
	label->setWordWrap(true);
	return label;
}

} // namespace

SettingsDialog::SettingsDialog(Runtime &runtime_, QWidget *parent) : QDialog(parent), runtime(runtime_)
{
	setWindowTitle(tr_text("Settings.Title"));
	setMinimumWidth(kColumnWidth * 2);
	setModal(true);
	buildUi();
	loadSettings();
}

void SettingsDialog::buildUi()
{
	auto *layout = new QVBoxLayout(this);
	layout->setSpacing(12);
	layout->setContentsMargins(16, 16, 16, 16);
	// Two columns, the destinations and the recording on the left, how the canvas is made on the
	// right: in one column the groups made the dialog taller than a 1080-line screen.
	auto *columns = new QHBoxLayout();
	columns->setSpacing(12);
	auto *left = new QVBoxLayout();
	left->setSpacing(12);
	auto *right = new QVBoxLayout();
	right->setSpacing(12);
	columns->addLayout(left, 1);
	columns->addLayout(right, 1);
	layout->addLayout(columns);

	auto *stream = new QGroupBox(tr_text("Settings.Stream"), this);
	auto *streamLayout = new QVBoxLayout(stream);
	destinationsEditor = new DestinationsEditor(stream);
	streamLayout->addWidget(destinationsEditor);
	left->addWidget(stream);

	auto *encoding = new QGroupBox(tr_text("Settings.Encoding"), this);
	QFormLayout *encodingForm = groupForm(encoding);
	bitrateSpin = makeSpin(encoding, 500, 51000, 100, "Settings.Kbps");
	encodingForm->addRow(tr_text("Settings.Bitrate"), bitrateSpin);
	adaptiveCheck = new QCheckBox(tr_text("Settings.Adaptive"), encoding);
	encodingForm->addRow(adaptiveCheck);
	presetCombo = new QComboBox(encoding);
	for (const char *preset : kPresets)
		presetCombo->addItem(QString::fromUtf8(preset));
	encodingForm->addRow(tr_text("Settings.Preset"), presetCombo);
	const std::string encoder = runtime.output() ? runtime.output()->video_encoder_id() : std::string();
	if (!encoder.empty() && encoder != "obs_x264")
		encodingForm->addRow(
			note(tr_text("Settings.EncoderInUse").arg(QString::fromStdString(encoder)), encoding));
	right->addWidget(encoding);

	auto *canvasGroup = new QGroupBox(tr_text("Settings.Canvas"), this);
	QFormLayout *canvasForm = groupForm(canvasGroup);
	widthSpin = makeSpin(canvasGroup, 16, 7680, 2, "Settings.Pixels");
	canvasForm->addRow(tr_text("Settings.Width"), widthSpin);
	heightSpin = makeSpin(canvasGroup, 16, 7680, 2, "Settings.Pixels");
	canvasForm->addRow(tr_text("Settings.Height"), heightSpin);
	auto *fpsRow = new QHBoxLayout();
	// The host's own bounds for each part, so that its rates (30000/1001 ...) can be typed; the
	// canvas itself accepts 1 to 240 fps.
	fpsNumSpin = makeSpin(canvasGroup, 1, static_cast<int>(kFpsPartMax), 0, nullptr);
	auto *slash = new QLabel(QStringLiteral("/"), canvasGroup);
	slash->setFixedWidth(12);
	slash->setAlignment(Qt::AlignCenter);
	fpsDenSpin = makeSpin(canvasGroup, 1, static_cast<int>(kFpsPartMax), 0, nullptr);
	fpsRow->addWidget(fpsNumSpin);
	fpsRow->addWidget(slash);
	fpsRow->addWidget(fpsDenSpin);
	canvasForm->addRow(tr_text("Settings.Fps"), fpsRow);
	canvasForm->addRow(note(tr_text("Settings.CanvasNote"), canvasGroup));
	right->addWidget(canvasGroup);

	auto *behaviour = new QGroupBox(tr_text("Settings.Behaviour"), this);
	QFormLayout *behaviourForm = groupForm(behaviour);
	autoStartCheck = new QCheckBox(tr_text("Settings.AutoStart"), behaviour);
	behaviourForm->addRow(autoStartCheck);
	activeSceneAudioCheck = new QCheckBox(tr_text("Settings.ActiveSceneAudio"), behaviour);
	behaviourForm->addRow(activeSceneAudioCheck);
	behaviourForm->addRow(note(tr_text("Settings.AudioNote"), behaviour));
	right->addWidget(behaviour);

	auto *recordingGroup = new QGroupBox(tr_text("Settings.Recording"), this);
	QFormLayout *recordingForm = groupForm(recordingGroup);
	auto *folderRow = new QHBoxLayout();
	folderEdit = new QLineEdit(recordingGroup);
	folderEdit->setPlaceholderText(tr_text("Settings.FolderPlaceholder"));
	folderEdit->setToolTip(tr_text("Settings.Folder.Tooltip"));
	auto *browseButton = new QPushButton(tr_text("Settings.Browse"), recordingGroup);
	browseButton->setAccessibleName(tr_text("Settings.Browse.Name"));
	connect(browseButton, &QPushButton::clicked, this, &SettingsDialog::on_browse_folder);
	folderRow->addWidget(folderEdit);
	folderRow->addWidget(browseButton);
	recordingForm->addRow(tr_text("Settings.Folder"), folderRow);
	if (auto *folderLabel = qobject_cast<QLabel *>(recordingForm->labelForField(folderRow)))
		folderLabel->setBuddy(folderEdit);
	formatCombo = new QComboBox(recordingGroup);
	for (const char *format : kFormats)
		formatCombo->addItem(tr_text((std::string("Settings.Format.") + format).c_str()),
				     QString::fromUtf8(format));
	formatCombo->setToolTip(tr_text("Settings.Format.Tooltip"));
	recordingForm->addRow(tr_text("Settings.Format"), formatCombo);
	recordWithMainCheck = new QCheckBox(tr_text("Settings.RecordWithMain"), recordingGroup);
	recordingForm->addRow(recordWithMainCheck);
	replaySecondsSpin = makeSpin(recordingGroup, static_cast<int>(kReplaySecondsMin),
				     static_cast<int>(kReplaySecondsMax), 5, "Settings.Seconds");
	recordingForm->addRow(tr_text("Settings.ReplayLength"), replaySecondsSpin);
	replayWithMainCheck = new QCheckBox(tr_text("Settings.ReplayWithMain"), recordingGroup);
	recordingForm->addRow(replayWithMainCheck);
	left->addWidget(recordingGroup);

	left->addStretch(1);
	right->addStretch(1);

	auto *buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
	connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::on_save_clicked);
	connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
	layout->addWidget(buttons);
}

void SettingsDialog::loadSettings()
{
	const ProfileConfig &profile = runtime.profile_config();
	destinationsEditor->setDestinations(profile.destinations());
	setClamped(bitrateSpin, profile.video_bitrate());
	adaptiveCheck->setChecked(profile.adaptive_bitrate());
	setClamped(widthSpin, profile.canvas_width());
	setClamped(heightSpin, profile.canvas_height());
	setClamped(fpsNumSpin, profile.fps_num());
	setClamped(fpsDenSpin, profile.fps_den());
	autoStartCheck->setChecked(profile.auto_start_with_main());
	activeSceneAudioCheck->setChecked(profile.use_active_scene_audio());
	// Exact, case-sensitive match of the whole text; anything else shows the default preset.
	const int index = presetCombo->findText(QString::fromUtf8(profile.encoder_preset()),
						Qt::MatchExactly | Qt::MatchCaseSensitive);
	presetCombo->setCurrentIndex(index >= 0 ? index : kFallbackPresetIndex);

	const RecordingConfig recording = profile.recording();
	folderEdit->setText(utf8(recording.folder));
	formatCombo->setCurrentIndex(std::max(0, formatCombo->findData(utf8(recording.format))));
	recordWithMainCheck->setChecked(recording.with_main);
	setClamped(replaySecondsSpin, recording.replay_seconds);
	replayWithMainCheck->setChecked(recording.replay_with_main);
}

void SettingsDialog::on_browse_folder()
{
	const QString folder =
		QFileDialog::getExistingDirectory(this, tr_text("Settings.BrowseTitle"), folderEdit->text().trimmed());
	if (!folder.isEmpty())
		folderEdit->setText(folder);
}

void SettingsDialog::on_save_clicked()
{
	const QString problem = destinationsEditor->problem();
	if (!problem.isEmpty()) {
		QMessageBox::warning(this, tr_text("Settings.Validation"), problem);
		return;
	}
	saveSettings();
	accept();
}

void SettingsDialog::saveSettings()
{
	ProfileConfig &profile = runtime.profile_config();
	const std::vector<Destination> destinations = destinationsEditor->destinations();
	// A destination the list no longer names (removed, or renamed) stops now: it would otherwise
	// stream on to a place the user took away, under a name nothing can reach any more.
	if (const VerticalOutput *output = runtime.output())
		for (const VerticalOutput::DestinationState &state : output->destination_states())
			if (state.active &&
			    std::none_of(destinations.begin(), destinations.end(),
					 [&](const Destination &d) { return d.name == state.destination.name; }))
				runtime.stop_destination(state.destination.name);
	// The first destination goes to "rtmpurl" and "streamkey", where older versions look.
	profile.set_destinations(destinations);
	profile.set_video_bitrate(static_cast<uint32_t>(bitrateSpin->value()));
	profile.set_adaptive_bitrate(adaptiveCheck->isChecked());
	profile.set_canvas_width(static_cast<uint32_t>(widthSpin->value()));
	profile.set_canvas_height(static_cast<uint32_t>(heightSpin->value()));
	profile.set_fps_num(static_cast<uint32_t>(fpsNumSpin->value()));
	profile.set_fps_den(static_cast<uint32_t>(fpsDenSpin->value()));
	profile.set_auto_start_with_main(autoStartCheck->isChecked());
	profile.set_encoder_preset(presetCombo->currentText().toUtf8().constData());
	profile.set_use_active_scene_audio(activeSceneAudioCheck->isChecked());
	RecordingConfig recording;
	recording.folder = utf8(folderEdit->text().trimmed());
	recording.format = utf8(formatCombo->currentData().toString());
	recording.with_main = recordWithMainCheck->isChecked();
	recording.replay_seconds = static_cast<uint32_t>(replaySecondsSpin->value());
	recording.replay_with_main = replayWithMainCheck->isChecked();
	profile.set_recording(recording);
	runtime.save_profile_config();
}

} // namespace brasslight
