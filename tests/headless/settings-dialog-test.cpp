// The settings dialog over a real profile file: what it shows of stored values (clamped, the
// preset fallen back), the blank-URL check, and what Save and Cancel leave in the file and in the
// running output controller.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

#include "module/module-lifecycle.hpp"
#include "ui/settings-dialog.hpp"
#include "ui-fixture.hpp"

using namespace brasslight;
using bltest::LogCapture;
using bltest::utf8;
using Names = std::vector<std::string>;

namespace {

class SettingsDialogTest : public bltest::UiTest {
protected:
	void open_dialog()
	{
		dialog = std::make_unique<SettingsDialog>();
		dialog->show();
		const QList<QLineEdit *> edits = dialog->findChildren<QLineEdit *>();
		url = edits.value(0);
		key = edits.value(1);
		spins = dialog->findChildren<QSpinBox *>();
		checks = dialog->findChildren<QCheckBox *>();
		ASSERT_TRUE(url && key && spins.size() == 5 && preset() && checks.size() == 2);
	}

	QComboBox *preset() const { return dialog->findChild<QComboBox *>(); }
	void push(QDialogButtonBox::StandardButton which)
	{
		dialog->findChild<QDialogButtonBox *>()->button(which)->click();
	}

	// "bitrate width height fpsnum fpsden | preset | autostart audio" as the dialog shows them.
	std::string shown() const
	{
		std::string out;
		for (QSpinBox *spin : spins)
			out += std::to_string(spin->value()) + " ";
		out += "| " + utf8(preset()->currentText()) + " |";
		for (QCheckBox *check : checks)
			out += check->isChecked() ? " on" : " off";
		return out;
	}

	std::string profile_file() const
	{
		return bltest::read_file(dir.file("profile/brasslight-vertical-canvas.ini"));
	}

	std::unique_ptr<SettingsDialog> dialog;
	QLineEdit *url = nullptr;
	QLineEdit *key = nullptr;
	QList<QSpinBox *> spins;
	QList<QCheckBox *> checks;
};

} // namespace

TEST_F(SettingsDialogTest, ShowsStoredValuesClampedAndTheKeyHiddenBehindAButtonThatFitsTheHostTheme)
{
	set_video_bitrate(4294967295u);
	set_canvas_width(8000);
	set_canvas_height(10);
	set_fps_num(0);
	set_fps_den(2000000);
	set_encoder_preset("slower");
	set_auto_start_with_main(false);
	set_use_active_scene_audio(true);
	// The host's own default theme pads every button by 16 px on each side.
	qApp->setStyleSheet(QString::fromUtf8(bltest::read_file("/usr/share/obs/obs-studio/themes/Yami.qss").c_str()));
	const std::shared_ptr<void> unthemed(nullptr, [](void *) { qApp->setStyleSheet(QString()); });
	open_dialog();
	EXPECT_EQ(utf8(dialog->windowTitle()), "Vertical Canvas \u2014 Settings");
	EXPECT_TRUE(dialog->isModal());
	EXPECT_EQ(utf8(url->text() + " " + key->text()), "rtmp://127.0.0.1:9/live ui-test-key");
	EXPECT_EQ(shown(), "51000 7680 16 1 1000000 | slower | off on");

	QAbstractButton *show = bltest::find_button(dialog.get(), "Show");
	ASSERT_NE(show, nullptr);
	EXPECT_EQ(utf8(key->accessibleName() + " / " + show->accessibleName()), "Stream key / Show stream key");
	for (const auto &[text, mode] : {std::pair {"Show", QLineEdit::Password}, {"Hide", QLineEdit::Normal}}) {
		EXPECT_EQ(utf8(show->text()), text);
		EXPECT_EQ(key->echoMode(), mode) << text;
		EXPECT_GE(show->width(), show->sizeHint().width()) << text;
		QTest::mouseClick(show, Qt::LeftButton);
	}
	EXPECT_EQ(key->echoMode(), QLineEdit::Password);
	dialog.reset();
}

TEST_F(SettingsDialogTest, SaveWritesEveryFieldAsTypedAnUnknownPresetAsVeryfastAndReachesTheOutput)
{
	// An unknown preset shows and saves as veryfast.
	for (const char *stored : {"VeryFast", "placebo", "veryfast ", ""}) {
		set_encoder_preset(stored);
		open_dialog();
		EXPECT_EQ(utf8(preset()->currentText()), "veryfast") << "stored '" << stored << "'";
		push(QDialogButtonBox::Save);
		EXPECT_STREQ(get_encoder_preset(), "veryfast") << "stored '" << stored << "'";
	}
	set_canvas_width(8000);
	open_dialog();
	url->setText("  rtmp://127.0.0.1:1935/vertical  ");
	key->setText("new-key");
	spins[0]->setValue(2500);
	spins[2]->setValue(1280);
	spins[3]->setValue(30000); // the host's own 29.97 fps
	spins[4]->setValue(1001);
	preset()->setCurrentText("fast");
	checks[0]->setChecked(true);
	checks[1]->setChecked(false);

	const size_t from = LogCapture::get().mark();
	push(QDialogButtonBox::Save);
	EXPECT_EQ(dialog->result(), QDialog::Accepted);
	EXPECT_EQ(LogCapture::get().count("[brasslight-obs-vertical] VerticalOutput config updated (url:   "
					  "rtmp://127.0.0.1:1935/vertical  )",
					  from),
		  1u);

	const std::string file = profile_file();
	for (const char *line :
	     {"rtmpurl=  rtmp://127.0.0.1:1935/vertical  \n", "streamkey=new-key\n", "videobitrate=2500\n",
	      "canvaswidth=7680\n", "canvasheight=1280\n", "fpsnum=30000\n", "fpsden=1001\n",
	      "autostartwithmain=true\n", "encoderpreset=fast\n", "useactivesceneaudio=false\n"})
		EXPECT_NE(file.find(line), std::string::npos) << "missing " << line << "in\n" << file;
	EXPECT_EQ(LogCapture::get().count("new-key", from), 0u) << "the stream key reached the log";
}

TEST_F(SettingsDialogTest, ABlankUrlIsRefusedAndCancelLeavesEverythingAsItWas)
{
	ASSERT_TRUE(save_config_file(profile_config));
	const std::string before = profile_file();
	open_dialog();
	const size_t from = LogCapture::get().mark();
	url->setText("   ");
	EXPECT_EQ(answered({bltest::press_key(Qt::Key_Return)}, [this] { push(QDialogButtonBox::Save); }),
		  Names {"Validation | RTMP URL cannot be empty."});
	EXPECT_TRUE(dialog->isVisible()) << "the dialog stays open for a correction";

	key->setText("changed");
	push(QDialogButtonBox::Cancel);
	EXPECT_EQ(dialog->result(), QDialog::Rejected);
	EXPECT_EQ(profile_file(), before);
	EXPECT_STREQ(get_rtmp_url(), "rtmp://127.0.0.1:9/live");
	EXPECT_EQ(LogCapture::get().count("config updated", from), 0u);

	// The Tools menu's entry opens one of its own, modal, that deletes itself once closed.
	QPointer<QWidget> opened;
	EXPECT_EQ(answered({[&](QWidget *modal) {
				   (opened = modal)->close();
			   }},
			   [] { open_settings_dialog(nullptr); }),
		  Names {"Vertical Canvas \u2014 Settings"});
	EXPECT_TRUE(opened.isNull()) << "the dialog is still alive after closing";
}
