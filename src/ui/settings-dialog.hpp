#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;

namespace brasslight {

class DestinationsEditor;
class Runtime;

// Edits the current profile's vertical stream settings: its destinations, encoding, canvas,
// behaviour and recording. Save checks the destinations, writes every field to the profile
// store and hands the stream settings to the running output controller; Cancel changes nothing.
class SettingsDialog : public QDialog {
	Q_OBJECT

public:
	explicit SettingsDialog(Runtime &runtime, QWidget *parent = nullptr);
	~SettingsDialog() override = default;

private slots:
	void on_save_clicked();
	void on_browse_folder();

private:
	void buildUi();
	void loadSettings();
	void saveSettings();

	DestinationsEditor *destinationsEditor = nullptr;
	QSpinBox *bitrateSpin = nullptr;
	QCheckBox *adaptiveCheck = nullptr;
	QSpinBox *widthSpin = nullptr;
	QSpinBox *heightSpin = nullptr;
	QSpinBox *fpsNumSpin = nullptr;
	QSpinBox *fpsDenSpin = nullptr;
	QCheckBox *autoStartCheck = nullptr;
	QCheckBox *activeSceneAudioCheck = nullptr;
	QComboBox *presetCombo = nullptr;
	QLineEdit *folderEdit = nullptr;
	QComboBox *formatCombo = nullptr;
	QCheckBox *recordWithMainCheck = nullptr;
	QSpinBox *replaySecondsSpin = nullptr;
	QCheckBox *replayWithMainCheck = nullptr;
	Runtime &runtime;
};

} // namespace brasslight
