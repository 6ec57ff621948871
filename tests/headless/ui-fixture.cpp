#include "ui-fixture.hpp"

#include <QAbstractButton>
#include <QTest>

namespace bltest {

void UiTest::click_item(const std::string &name)
{
	for (int i = 0; i < list()->count(); ++i)
		if (utf8(list()->item(i)->data(Qt::UserRole).toString()) == name)
			return QTest::mouseClick(list()->viewport(), Qt::LeftButton, Qt::NoModifier,
						 list()->visualItemRect(list()->item(i)).center());
	ADD_FAILURE() << "no list item for " << name;
}

std::vector<std::string> UiTest::answered(std::vector<ModalScript::Step> steps, const std::function<void()> &act)
{
	ModalScript script(std::move(steps));
	act();
	// Whatever act opened has been answered by now (exec returns only then).
	EXPECT_EQ(script.problems(), "");
	return script.seen();
}

std::vector<std::string> UiTest::press(const char *text, std::vector<ModalScript::Step> steps)
{
	SCOPED_TRACE(text);
	return answered(std::move(steps), [&] {
		QAbstractButton *button = find_button(dock.get(), QString::fromUtf8(text));
		ASSERT_NE(button, nullptr) << "no button";
		QTest::mouseClick(button, Qt::LeftButton);
	});
}

} // namespace bltest
