#include "ui/settings-dialog.hpp"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "config/profile-config.hpp"
#include "module/runtime.hpp"
#include "output/vertical-output.hpp"

namespace brasslight {

namespace {

constexpr const char *kPresets[] = {"ultrafast", "superfast", "veryfast", "faster",  "fast",
				    "medium",    "slow",      "slower",   "veryslow"};
constexpr int kFallbackPresetIndex = 2;

QSpinBox *makeSpin(QWidget *parent, int low, int high, int step, const char *suffix)
{
	auto *spin = new QSpinBox(parent);
	spin->setRange(low, high);
	if (step > 0)
		spin->setSingleStep(step);
	if (suffix)
		spin->setSuffix(QString::fromUtf8(suffix));
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

// The id of the running runtime's video encoder, or "" without a runtime.
std::string videoEncoderInUse()
{
	std::lock_guard<std::recursive_mutex> lock(runtime_lock);
	return output ? output->video_encoder_id() : std::string();
}

} // namespace

SettingsDialog::SettingsDialog(QWidget *parent) : QDialog(parent)
{
	setWindowTitle(QStringLiteral("Vertical Canvas \u2014 Settings"));
	setMinimumWidth(440);
	setModal(true);
	buildUi();
	loadSettings();
}

void SettingsDialog::buildUi()
{
	auto *layout = new QVBoxLayout(this);
	layout->setSpacing(12);
	layout->setContentsMargins(16, 16, 16, 16);

	auto *stream = new QGroupBox(QStringLiteral("Stream"), this);
	QFormLayout *streamForm = groupForm(stream);
	urlEdit = new QLineEdit(stream);
	urlEdit->setPlaceholderText(QStringLiteral("rtmp://live.example.com/app"));
	streamForm->addRow(QStringLiteral("RTMP URL:"), urlEdit);
	auto *keyRow = new QHBoxLayout();
	keyEdit = new QLineEdit(stream);
	keyEdit->setEchoMode(QLineEdit::Password);
	keyEdit->setPlaceholderText(QStringLiteral("your-stream-key"));
	keyEdit->setAccessibleName(QStringLiteral("Stream key"));
	showKeyButton = new QPushButton(QStringLiteral("Hide"), stream);
	showKeyButton->setCheckable(true);
	showKeyButton->setAccessibleName(QStringLiteral("Show stream key"));
	// As wide as the wider of its two texts under the host's theme (most themes pad buttons
	// well beyond a fixed width), so that neither is clipped and the row never shifts.
	const int hideWidth = showKeyButton->sizeHint().width();
	showKeyButton->setText(QStringLiteral("Show"));
	showKeyButton->setMinimumWidth(std::max(hideWidth, showKeyButton->sizeHint().width()));
	connect(showKeyButton, &QPushButton::toggled, this, &SettingsDialog::on_toggle_key_visibility);
	keyRow->addWidget(keyEdit);
	keyRow->addWidget(showKeyButton);
	streamForm->addRow(QStringLiteral("Stream Key:"), keyRow);
	layout->addWidget(stream);

	auto *encoding = new QGroupBox(QStringLiteral("Encoding"), this);
	QFormLayout *encodingForm = groupForm(encoding);
	bitrateSpin = makeSpin(encoding, 500, 51000, 100, " kbps");
	encodingForm->addRow(QStringLiteral("Video Bitrate:"), bitrateSpin);
	presetCombo = new QComboBox(encoding);
	for (const char *preset : kPresets)
		presetCombo->addItem(QString::fromUtf8(preset));
	encodingForm->addRow(QStringLiteral("Encoder Preset:"), presetCombo);
	const std::string encoder = videoEncoderInUse();
	if (!encoder.empty() && encoder != "obs_x264")
		encodingForm->addRow(note(QStringLiteral("Video encoder in use: %1. The preset applies to x264 only.")
						  .arg(QString::fromStdString(encoder)),
					  encoding));
	layout->addWidget(encoding);

	auto *canvasGroup = new QGroupBox(QStringLiteral("Canvas"), this);
	QFormLayout *canvasForm = groupForm(canvasGroup);
	widthSpin = makeSpin(canvasGroup, 16, 7680, 2, " px");
	canvasForm->addRow(QStringLiteral("Width:"), widthSpin);
	heightSpin = makeSpin(canvasGroup, 16, 7680, 2, " px");
	canvasForm->addRow(QStringLiteral("Height:"), heightSpin);
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
	canvasForm->addRow(QStringLiteral("FPS (num / den):"), fpsRow);
	canvasForm->addRow(note(QStringLiteral("<small><i>Canvas size and FPS changes take effect after restarting the "
					       "vertical output.</i></small>"),
				canvasGroup));
	layout->addWidget(canvasGroup);

	auto *behaviour = new QGroupBox(QStringLiteral("Behaviour"), this);
	QFormLayout *behaviourForm = groupForm(behaviour);
	autoStartCheck = new QCheckBox(QStringLiteral("Auto-start when main stream starts"), behaviour);
	behaviourForm->addRow(autoStartCheck);
	activeSceneAudioCheck = new QCheckBox(QStringLiteral("Use audio from active vertical scene"), behaviour);
	behaviourForm->addRow(activeSceneAudioCheck);
	behaviourForm->addRow(note(
		QStringLiteral("Audio source changes take effect after restarting the vertical output."), behaviour));
	layout->addWidget(behaviour);

	auto *buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
	connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::on_save_clicked);
	connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
	layout->addWidget(buttons);
}

void SettingsDialog::loadSettings()
{
	urlEdit->setText(QString::fromUtf8(get_rtmp_url()));
	keyEdit->setText(QString::fromUtf8(get_stream_key()));
	setClamped(bitrateSpin, get_video_bitrate());
	setClamped(widthSpin, get_canvas_width());
	setClamped(heightSpin, get_canvas_height());
	setClamped(fpsNumSpin, get_fps_num());
	setClamped(fpsDenSpin, get_fps_den());
	autoStartCheck->setChecked(get_auto_start_with_main());
	activeSceneAudioCheck->setChecked(get_use_active_scene_audio());
	// Exact, case-sensitive match of the whole text; anything else shows the default preset.
	const int index = presetCombo->findText(QString::fromUtf8(get_encoder_preset()),
						Qt::MatchExactly | Qt::MatchCaseSensitive);
	presetCombo->setCurrentIndex(index >= 0 ? index : kFallbackPresetIndex);
}

void SettingsDialog::on_toggle_key_visibility()
{
	const bool shown = showKeyButton->isChecked();
	keyEdit->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
	showKeyButton->setText(shown ? QStringLiteral("Hide") : QStringLiteral("Show"));
}

void SettingsDialog::on_save_clicked()
{
	if (urlEdit->text().trimmed().isEmpty()) {
		QMessageBox::warning(this, QStringLiteral("Validation"), QStringLiteral("RTMP URL cannot be empty."));
		return;
	}
	saveSettings();
	accept();
}

void SettingsDialog::saveSettings()
{
	// Stored exactly as typed: the check above only refuses a blank URL.
	set_rtmp_url(urlEdit->text().toUtf8().constData());
	set_stream_key(keyEdit->text().toUtf8().constData());
	set_video_bitrate(static_cast<uint32_t>(bitrateSpin->value()));
	set_canvas_width(static_cast<uint32_t>(widthSpin->value()));
	set_canvas_height(static_cast<uint32_t>(heightSpin->value()));
	set_fps_num(static_cast<uint32_t>(fpsNumSpin->value()));
	set_fps_den(static_cast<uint32_t>(fpsDenSpin->value()));
	set_auto_start_with_main(autoStartCheck->isChecked());
	set_encoder_preset(presetCombo->currentText().toUtf8().constData());
	set_use_active_scene_audio(activeSceneAudioCheck->isChecked());
	save_profile_config();
}

} // namespace brasslight
