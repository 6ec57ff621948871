#include "ui/settings-dialog.hpp"

#include <algorithm>
#include <cstdint>
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

#include "output/vertical-output.hpp"
#include "runtime/runtime.hpp"
#include "ui/ui-text.hpp"

namespace brasslight {

namespace {

constexpr const char *kPresets[] = {"ultrafast", "superfast", "veryfast", "faster",  "fast",
				    "medium",    "slow",      "slower",   "veryslow"};
constexpr int kFallbackPresetIndex = 2;

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

	auto *stream = new QGroupBox(tr_text("Settings.Stream"), this);
	QFormLayout *streamForm = groupForm(stream);
	urlEdit = new QLineEdit(stream);
	urlEdit->setPlaceholderText(tr_text("Settings.UrlPlaceholder"));
	streamForm->addRow(tr_text("Settings.Url"), urlEdit);
	auto *keyRow = new QHBoxLayout();
	keyEdit = new QLineEdit(stream);
	keyEdit->setEchoMode(QLineEdit::Password);
	keyEdit->setPlaceholderText(tr_text("Settings.KeyPlaceholder"));
	keyEdit->setAccessibleName(tr_text("Settings.Key.Name"));
	showKeyButton = new QPushButton(tr_text("Settings.HideKey"), stream);
	showKeyButton->setCheckable(true);
	showKeyButton->setAccessibleName(tr_text("Settings.ShowKey.Name"));
	// As wide as the wider of its two texts under the host's theme (most themes pad buttons
	// well beyond a fixed width), so that neither is clipped and the row never shifts.
	const int hideWidth = showKeyButton->sizeHint().width();
	showKeyButton->setText(tr_text("Settings.ShowKey"));
	showKeyButton->setMinimumWidth(std::max(hideWidth, showKeyButton->sizeHint().width()));
	connect(showKeyButton, &QPushButton::toggled, this, &SettingsDialog::on_toggle_key_visibility);
	keyRow->addWidget(keyEdit);
	keyRow->addWidget(showKeyButton);
	streamForm->addRow(tr_text("Settings.Key"), keyRow);
	layout->addWidget(stream);

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
	layout->addWidget(encoding);

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
	layout->addWidget(canvasGroup);

	auto *behaviour = new QGroupBox(tr_text("Settings.Behaviour"), this);
	QFormLayout *behaviourForm = groupForm(behaviour);
	autoStartCheck = new QCheckBox(tr_text("Settings.AutoStart"), behaviour);
	behaviourForm->addRow(autoStartCheck);
	activeSceneAudioCheck = new QCheckBox(tr_text("Settings.ActiveSceneAudio"), behaviour);
	behaviourForm->addRow(activeSceneAudioCheck);
	behaviourForm->addRow(note(tr_text("Settings.AudioNote"), behaviour));
	layout->addWidget(behaviour);

	auto *buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
	connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::on_save_clicked);
	connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
	layout->addWidget(buttons);
}

void SettingsDialog::loadSettings()
{
	const ProfileConfig &profile = runtime.profile_config();
	urlEdit->setText(QString::fromUtf8(profile.rtmp_url()));
	keyEdit->setText(QString::fromUtf8(profile.stream_key()));
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
}

void SettingsDialog::on_toggle_key_visibility()
{
	const bool shown = showKeyButton->isChecked();
	keyEdit->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
	showKeyButton->setText(shown ? tr_text("Settings.HideKey") : tr_text("Settings.ShowKey"));
}

void SettingsDialog::on_save_clicked()
{
	if (urlEdit->text().trimmed().isEmpty()) {
		QMessageBox::warning(this, tr_text("Settings.Validation"), tr_text("Settings.UrlEmpty"));
		return;
	}
	saveSettings();
	accept();
}

void SettingsDialog::saveSettings()
{
	ProfileConfig &profile = runtime.profile_config();
	// Stored exactly as typed: the check above only refuses a blank URL.
	profile.set_rtmp_url(urlEdit->text().toUtf8().constData());
	profile.set_stream_key(keyEdit->text().toUtf8().constData());
	profile.set_video_bitrate(static_cast<uint32_t>(bitrateSpin->value()));
	profile.set_adaptive_bitrate(adaptiveCheck->isChecked());
	profile.set_canvas_width(static_cast<uint32_t>(widthSpin->value()));
	profile.set_canvas_height(static_cast<uint32_t>(heightSpin->value()));
	profile.set_fps_num(static_cast<uint32_t>(fpsNumSpin->value()));
	profile.set_fps_den(static_cast<uint32_t>(fpsDenSpin->value()));
	profile.set_auto_start_with_main(autoStartCheck->isChecked());
	profile.set_encoder_preset(presetCombo->currentText().toUtf8().constData());
	profile.set_use_active_scene_audio(activeSceneAudioCheck->isChecked());
	runtime.save_profile_config();
}

} // namespace brasslight
