#pragma once

// A real runtime from a profile and global store in a temporary folder, and a dock shown on it.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QListWidget>
#include <QTest>

#include <gtest/gtest.h>

#include "canvas/vertical-canvas.hpp"
#include "module/plugin.hpp"
#include "mux/mux-output.hpp"
#include "output/vertical-output.hpp"
#include "ui/vertical-dock.hpp"
#include "qt-app.hpp"
#include "temp-dir.hpp"

namespace bltest {

class UiTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		ensure_qt_application();
		// As the module's load does; the host takes a type once per process.
		[[maybe_unused]] static const bool registered = (brasslight::register_mux_output_type(), true);
		// Without a module handle or a front end the plug-in finds no files of its own: the test's.
		plugin = std::make_unique<brasslight::Plugin>(nullptr);
		rt().global_config().open(dir.file("settings-global.ini"));
		profile().open(dir.file("profile/brasslight-vertical-canvas.ini"));
		// Small: llvmpipe renders on two shared cores.
		profile().set_canvas_width(180);
		profile().set_canvas_height(320);
		profile().set_rtmp_url("rtmp://127.0.0.1:9/live");
		profile().set_stream_key("ui-test-key");
		ASSERT_TRUE(build_runtime());
	}

	void TearDown() override
	{
		dock.reset();
		plugin.reset();
	}

	brasslight::Runtime &rt() const { return plugin->runtime(); }
	brasslight::ProfileConfig &profile() const { return rt().profile_config(); }
	brasslight::VerticalCanvas *canvas() const { return rt().canvas(); }
	brasslight::VerticalOutput *output() const { return rt().output(); }

	bool build_runtime() const
	{
		rt().destroy_runtime(false);
		return rt().create_runtime_from_current_profile();
	}

	// The dock as the host gets it: built on the runtime, which it follows from then on.
	void make_dock()
	{
		dock = std::make_unique<brasslight::VerticalDock>(&rt());
		dock->resize(300, 600);
		dock->show();
	}

	QListWidget *list() const { return dock->findChild<QListWidget *>(); }

	std::vector<std::string> item_texts() const
	{
		std::vector<std::string> out;
		for (int i = 0; i < list()->count(); ++i)
			out.push_back(utf8(list()->item(i)->text()));
		return out;
	}

	void click_item(const std::string &name)
	{
		for (int i = 0; i < list()->count(); ++i)
			if (utf8(list()->item(i)->data(Qt::UserRole).toString()) == name)
				return QTest::mouseClick(list()->viewport(), Qt::LeftButton, Qt::NoModifier,
							 list()->visualItemRect(list()->item(i)).center());
		ADD_FAILURE() << "no list item for " << name;
	}

	// Runs act while steps answer the dialogs it opens, in order; what they showed.
	static std::vector<std::string> answered(std::vector<ModalScript::Step> steps, const std::function<void()> &act)
	{
		ModalScript script(std::move(steps));
		act(); // exec() returns only once its dialog has been answered
		EXPECT_EQ(script.problems(), "");
		return script.seen();
	}

	// A user's click on the dock's button of that text, with steps as for answered().
	std::vector<std::string> press(const char *text, std::vector<ModalScript::Step> steps = {})
	{
		SCOPED_TRACE(text);
		return answered(std::move(steps), [&] {
			QAbstractButton *button = find_button(dock.get(), QString::fromUtf8(text));
			ASSERT_NE(button, nullptr) << "no button";
			QTest::mouseClick(button, Qt::LeftButton);
		});
	}

	TempDir dir;
	std::unique_ptr<brasslight::Plugin> plugin;
	std::unique_ptr<brasslight::VerticalDock> dock;
};

} // namespace bltest
