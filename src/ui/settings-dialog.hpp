#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace brasslight {

class Runtime;

// Edits the current profile's vertical stream settings. Save checks the URL, writes every field
// to the profile store and hands the stream settings to the running output controller.
class SettingsDialog : public QDialog {
	Q_OBJECT

public:
	explicit SettingsDialog(Runtime &runtime, QWidget *parent = nullptr);
	~SettingsDialog() override = default;

private slots:
	void on_save_clicked();
	void on_toggle_key_visibility();

private:
	void buildUi();
	void loadSettings();
	void saveSettings();

	QLineEdit *urlEdit = nullptr;
	QLineEdit *keyEdit = nullptr;
	QPushButton *showKeyButton = nullptr;
	QSpinBox *bitrateSpin = nullptr;
	QCheckBox *adaptiveCheck = nullptr;
	QSpinBox *widthSpin = nullptr;
	QSpinBox *heightSpin = nullptr;
	QSpinBox *fpsNumSpin = nullptr;
	QSpinBox *fpsDenSpin = nullptr;
	QCheckBox *autoStartCheck = nullptr;
	QCheckBox *activeSceneAudioCheck = nullptr;
	QComboBox *presetCombo = nullptr;
	Runtime &runtime;
};

} // namespace brasslight
