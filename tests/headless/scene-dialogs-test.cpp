// The four slot flows of the dock through their real modal dialogs: what each prompt asks and
// shows, what each answer does to the canvas, and that every change is stored.

#include <QListWidget>
#include <QTest>

#include <gtest/gtest.h>
#include <obs.hpp>

#include "ui-fixture.hpp"

using namespace brasslight;
using bltest::press_key;
using bltest::type_text;
using Names = std::vector<std::string>;

namespace {

class SceneDialogsTest : public bltest::UiTest {
protected:
	// Saves of the slot list since the last call.
	size_t saves()
	{
		const size_t count = bltest::LogCapture::get().count("Scene list saved", from);
		from = bltest::LogCapture::get().mark();
		return count;
	}
	size_t from = bltest::LogCapture::get().mark();
};

} // namespace

TEST_F(SceneDialogsTest, AddAndRenameTrimStoreAndQuoteARefusedNameAsTypedAndRemoveNeedsYesNotEnter)
{
	make_dock();
	EXPECT_EQ(press("+ Add", {type_text("  Main  ")}), Names {"Add Scene | Scene name: []"});
	EXPECT_EQ(item_texts(), (Names {"\u25BA Scene 1", " Main"}))
		<< "a new slot is active only without an active one";
	EXPECT_EQ(saves(), 1u);
	EXPECT_NE(global_file().find("scene_1_name=Main\n"), std::string::npos) << global_file();

	EXPECT_EQ(press("+ Add", {type_text("  Main  "), press_key(Qt::Key_Return)}),
		  (Names {"Add Scene | Scene name: []", "Add Scene | A scene named \"  Main  \" already exists."}));
	// Blank and cancelled prompts end quietly.
	press("+ Add", {type_text("   ")});
	press("+ Add", {press_key(Qt::Key_Escape)});
	EXPECT_EQ(item_texts(), (Names {"\u25BA Scene 1", " Main"}));
	EXPECT_EQ(saves(), 0u);

	// Rename starts from the old name; the same name with spaces around it changes nothing.
	EXPECT_EQ(press("Rename", {type_text("  Scene 1 ")}), Names {"Rename Scene | New name: [Scene 1]"});
	EXPECT_EQ(press("Rename", {type_text(" Main"), press_key(Qt::Key_Return)}),
		  (Names {"Rename Scene | New name: [Scene 1]",
			  "Rename Scene | A scene named \" Main\" already exists."}));
	EXPECT_EQ(saves(), 0u);
	press("Rename", {type_text("Portrait")});
	EXPECT_EQ(item_texts(), (Names {"\u25BA Portrait", " Main"}));
	EXPECT_EQ(saves(), 1u);
	EXPECT_NE(global_file().find("activescene=Portrait\n"), std::string::npos) << global_file();

	// Enter answers Remove's question with the default button, which must keep the slot.
	click_item("Main");
	EXPECT_EQ(press("- Remove", {press_key(Qt::Key_Return)}),
		  Names {"Remove Scene | Remove scene \"Main\"? This cannot be undone."});
	EXPECT_EQ(item_texts(), (Names {" Portrait", "\u25BA Main"}));
	EXPECT_EQ(saves(), 0u);
	press("- Remove", {press_key(Qt::Key_Y)});
	EXPECT_EQ(item_texts(), Names {"\u25BA Portrait"});
	EXPECT_EQ(saves(), 1u);
	EXPECT_NE(global_file().find("count=1\n"), std::string::npos) << global_file();
}

TEST_F(SceneDialogsTest, AssignOffersNonePreselectedAndItsChoiceReplacesTheHostScene)
{
	make_dock();
	// Nothing selected: Assign explains, Remove and Rename do nothing.
	list()->setCurrentItem(nullptr);
	EXPECT_EQ(press("Assign OBS Scene", {press_key(Qt::Key_Return)}),
		  Names {"Configure Scene | Select a scene from the list first."});
	press("- Remove");
	press("Rename");
	EXPECT_EQ(item_texts(), Names {"\u25BA Scene 1"});

	// This process has no host front end, so the dialog lists only "(None)": the host's own scene
	// list is exercised in the real app (tests/host).
	click_item("Scene 1");
	EXPECT_EQ(press("Assign OBS Scene", {press_key(Qt::Key_Escape)}),
		  Names {"Assign OBS Scene \u2014 Scene 1 | (None)"});

	// An assigned slot: Cancel keeps its scene, a double click on "(None)" clears it.
	OBSSceneAutoRelease cam = obs_scene_create("Cam");
	ASSERT_TRUE(canvas->assign_scene_source("Scene 1", "Cam"));
	dock->refreshSceneList();
	press("Assign OBS Scene", {press_key(Qt::Key_Escape)});
	EXPECT_EQ(item_texts(), Names {"\u25BA Scene 1 [Cam]"});
	saves();
	press("Assign OBS Scene", {[](QWidget *modal) {
		      // Items have their places only once the dialog is laid out on the screen.
		      ASSERT_TRUE(QTest::qWaitForWindowExposed(modal));
		      auto *hosts = modal->findChild<QListWidget *>();
		      // A click, then the second press that the system reports as a double click.
		      const QPoint at = hosts->visualItemRect(hosts->item(0)).center();
		      QTest::mouseClick(hosts->viewport(), Qt::LeftButton, Qt::NoModifier, at);
		      QTest::mouseDClick(hosts->viewport(), Qt::LeftButton, Qt::NoModifier, at);
	      }});
	EXPECT_EQ(item_texts(), Names {"\u25BA Scene 1"});
	EXPECT_EQ(saves(), 1u);
}
