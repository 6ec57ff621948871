// The four slot flows of the dock through their real modal dialogs: what each prompt asks and
// shows, what each answer does to the canvas, and that every change is stored.

#include <QAbstractButton>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QTest>

#include <gtest/gtest.h>
#include <obs.hpp>

#include "ui/scene-config-dialog.hpp"
#include "ui-fixture.hpp"

using namespace brasslight;
using bltest::ModalScript;
using bltest::type_and_accept;
using bltest::utf8;
using Names = std::vector<std::string>;

namespace {

// What a prompt or box showed, for one assertion per dialog.
struct Shown {
	std::string title;
	std::string text;
	std::string prefilled;
};

ModalScript::Step read_into(Shown &shown, ModalScript::Step then)
{
	return [&shown, then](QWidget *modal) {
		shown.title = utf8(modal->windowTitle());
		if (auto *box = qobject_cast<QMessageBox *>(modal))
			shown.text = utf8(box->text());
		if (auto *input = qobject_cast<QInputDialog *>(modal)) {
			shown.text = utf8(input->labelText());
			shown.prefilled = utf8(input->textValue());
		}
		then(modal);
	};
}

ModalScript::Step type(const QString &text)
{
	return [text](QWidget *modal) {
		type_and_accept(modal, text);
	};
}

ModalScript::Step press_box(QMessageBox::StandardButton which)
{
	return [which](QWidget *modal) {
		auto *box = qobject_cast<QMessageBox *>(modal);
		if (box && box->button(which))
			box->button(which)->click();
		else
			modal->close();
	};
}

ModalScript::Step cancel()
{
	return [](QWidget *modal) {
		QTest::keyClick(modal, Qt::Key_Escape);
	};
}

class SceneDialogsTest : public bltest::UiTest {
protected:
	size_t saves_since(size_t from) const { return bltest::LogCapture::get().count("Scene list saved", from); }
};

} // namespace

TEST_F(SceneDialogsTest, AddTrimsTheNameStoresItAndQuotesARefusedNameAsTyped)
{
	make_dock();
	size_t from = bltest::LogCapture::get().mark();
	Shown ask;
	{
		ModalScript script({read_into(ask, type("  Main  "))});
		press("+ Add", script);
	}
	EXPECT_EQ(ask.title, "Add Scene");
	EXPECT_EQ(ask.text, "Scene name:");
	EXPECT_EQ(ask.prefilled, "");
	EXPECT_EQ(canvas->scene_names(), (Names {"Scene 1", "Main"}));
	EXPECT_EQ(canvas->active_scene_name(), "Scene 1") << "a new slot becomes active only without an active one";
	EXPECT_EQ(item_texts(), (Names {"\u25BA Scene 1", " Main"}));
	EXPECT_EQ(saves_since(from), 1u);
	EXPECT_NE(global_file().find("scene_1_name=Main\n"), std::string::npos) << global_file();

	from = bltest::LogCapture::get().mark();
	Shown refused;
	{
		ModalScript script({type("  Main  "), read_into(refused, press_box(QMessageBox::Ok))});
		press("+ Add", script);
	}
	EXPECT_EQ(refused.title, "Add Scene");
	EXPECT_EQ(refused.text, "A scene named \"  Main  \" already exists.");
	EXPECT_EQ(canvas->scene_names(), (Names {"Scene 1", "Main"}));
	EXPECT_EQ(saves_since(from), 0u);

	// Blank and cancelled prompts end quietly.
	{
		ModalScript script({type("   ")});
		press("+ Add", script);
	}
	{
		ModalScript script({cancel()});
		press("+ Add", script);
	}
	EXPECT_EQ(canvas->scene_names(), (Names {"Scene 1", "Main"}));
	EXPECT_EQ(saves_since(from), 0u);
}

TEST_F(SceneDialogsTest, RemoveAsksFirstAndOnlyYesRemovesNotEnter)
{
	ASSERT_TRUE(canvas->add_scene("Alt"));
	make_dock();
	click_item("Alt");
	const size_t from = bltest::LogCapture::get().mark();

	// Enter answers with the default button, which must keep the slot.
	Shown question;
	{
		ModalScript script({read_into(question, [](QWidget *box) { QTest::keyClick(box, Qt::Key_Return); })});
		press("- Remove", script);
	}
	EXPECT_EQ(question.title, "Remove Scene");
	EXPECT_EQ(question.text, "Remove scene \"Alt\"? This cannot be undone.");
	EXPECT_EQ(canvas->scene_names(), (Names {"Scene 1", "Alt"}));
	EXPECT_EQ(saves_since(from), 0u);

	{
		ModalScript script({press_box(QMessageBox::Yes)});
		press("- Remove", script);
	}
	EXPECT_EQ(canvas->scene_names(), Names {"Scene 1"});
	EXPECT_EQ(item_texts(), Names {"\u25BA Scene 1"});
	EXPECT_EQ(saves_since(from), 1u);
	EXPECT_NE(global_file().find("count=1\n"), std::string::npos) << global_file();
}

TEST_F(SceneDialogsTest, RenameStartsFromTheOldNameAndIgnoresTheSameName)
{
	ASSERT_TRUE(canvas->add_scene("Other"));
	make_dock();
	const size_t from = bltest::LogCapture::get().mark();

	Shown ask;
	{
		ModalScript script({read_into(ask, type("  Scene 1 "))});
		press("Rename", script);
	}
	EXPECT_EQ(ask.title, "Rename Scene");
	EXPECT_EQ(ask.text, "New name:");
	EXPECT_EQ(ask.prefilled, "Scene 1");
	EXPECT_EQ(saves_since(from), 0u) << "the same name, with spaces around it, changes nothing";

	Shown refused;
	{
		ModalScript script({type(" Other"), read_into(refused, press_box(QMessageBox::Ok))});
		press("Rename", script);
	}
	EXPECT_EQ(refused.title, "Rename Scene");
	EXPECT_EQ(refused.text, "A scene named \" Other\" already exists.");
	EXPECT_EQ(saves_since(from), 0u);

	{
		ModalScript script({type("Portrait")});
		press("Rename", script);
	}
	EXPECT_EQ(canvas->scene_names(), (Names {"Portrait", "Other"}));
	EXPECT_EQ(canvas->active_scene_name(), "Portrait");
	EXPECT_EQ(item_texts(), (Names {"\u25BA Portrait", " Other"}));
	EXPECT_EQ(saves_since(from), 1u);
	EXPECT_NE(global_file().find("activescene=Portrait\n"), std::string::npos) << global_file();
}

TEST_F(SceneDialogsTest, WithNothingSelectedAssignExplainsAndRemoveAndRenameDoNothing)
{
	make_dock();
	list()->setCurrentItem(nullptr);
	Shown info;
	{
		ModalScript script({read_into(info, press_box(QMessageBox::Ok))});
		press("Assign OBS Scene", script);
	}
	EXPECT_EQ(info.title, "Configure Scene");
	EXPECT_EQ(info.text, "Select a scene from the list first.");

	for (const char *button : {"- Remove", "Rename"}) {
		ModalScript none({});
		press(button, none);
		EXPECT_EQ(none.seen(), Names {}) << button;
	}
	EXPECT_EQ(canvas->scene_names(), Names {"Scene 1"});
}

TEST_F(SceneDialogsTest, AssignDialogOffersNonePreselectedAndItsChoiceReplacesTheHostScene)
{
	// This process has no host front end, so the dialog lists only "(None)": the host's own scene
	// list is exercised in the real app (tests/host).
	make_dock();
	std::string title;
	std::string current;
	{
		ModalScript script({[&](QWidget *modal) {
			title = utf8(modal->windowTitle());
			auto *dialog = qobject_cast<SceneConfigDialog *>(modal);
			QListWidgetItem *item = dialog ? dialog->findChild<QListWidget *>()->currentItem() : nullptr;
			current = item ? utf8(item->text()) : "(no current item)";
			modal->close();
		}});
		press("Assign OBS Scene", script);
	}
	EXPECT_EQ(title, "Assign OBS Scene \u2014 Scene 1");
	EXPECT_EQ(current, "(None)");

	// An assigned slot: Cancel keeps its scene, a double click on "(None)" clears it.
	OBSSceneAutoRelease cam = obs_scene_create("Cam");
	ASSERT_TRUE(canvas->assign_scene_source("Scene 1", "Cam"));
	dock->refreshSceneList();
	{
		ModalScript script({cancel()});
		press("Assign OBS Scene", script);
	}
	EXPECT_EQ(canvas->scene_source_name("Scene 1"), "Cam");

	const size_t from = bltest::LogCapture::get().mark();
	{
		ModalScript script({[](QWidget *modal) {
			// Items have their places only once the dialog is laid out on the screen.
			EXPECT_TRUE(QTest::qWaitForWindowExposed(modal));
			auto *hostScenes = modal->findChild<QListWidget *>();
			QListWidgetItem *none = hostScenes->item(0);
			// A user's double click: a click, then the second press that the system reports as
			// a double click.
			const QPoint at = hostScenes->visualItemRect(none).center();
			QTest::mouseClick(hostScenes->viewport(), Qt::LeftButton, Qt::NoModifier, at);
			QTest::mouseDClick(hostScenes->viewport(), Qt::LeftButton, Qt::NoModifier, at);
		}});
		press("Assign OBS Scene", script);
	}
	EXPECT_EQ(canvas->scene_source_name("Scene 1"), "");
	EXPECT_EQ(item_texts(), Names {"\u25BA Scene 1"});
	EXPECT_EQ(saves_since(from), 1u);
}
