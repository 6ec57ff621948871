#include "ui-fixture.hpp"

#include <QAbstractButton>
#include <QTest>

namespace bltest {

void UiTest::click_item(const std::string &name)
{
	QListWidgetItem *item = item_named(name);
	ASSERT_NE(item, nullptr) << "no list item for " << name;
	QTest::mouseClick(list()->viewport(), Qt::LeftButton, Qt::NoModifier, list()->visualItemRect(item).center());
}

void UiTest::press(const char *text, ModalScript &script)
{
	QAbstractButton *button = find_button(dock.get(), QString::fromUtf8(text));
	ASSERT_NE(button, nullptr) << "no button " << text;
	click(button);
	// Whatever a flow opened has been answered by now (exec returns only then); what remains
	// is the script's own report.
	EXPECT_EQ(script.problems(), "") << "pressing " << text;
}

} // namespace bltest
