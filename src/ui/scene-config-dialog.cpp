#include "ui/scene-config-dialog.hpp"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>

#include <obs-frontend-api.h>
#include <obs.h>

namespace brasslight {

namespace {

// Owns the host's scene list: every scene reference it handed over is released, then the array.
struct FrontendSceneList {
	obs_frontend_source_list list = {};
	FrontendSceneList() { obs_frontend_get_scenes(&list); }
	~FrontendSceneList() { obs_frontend_source_list_free(&list); }
	FrontendSceneList(const FrontendSceneList &) = delete;
	FrontendSceneList &operator=(const FrontendSceneList &) = delete;
};

} // namespace

SceneConfigDialog::SceneConfigDialog(const QString &sceneName, const QString &currentSource, QWidget *parent)
	: QDialog(parent)
{
	setWindowTitle(QStringLiteral("Assign OBS Scene \u2014 ") + sceneName);
	setMinimumSize(320, 400);

	auto *layout = new QVBoxLayout(this);

	auto *hint = new QLabel(QStringLiteral("Select an OBS scene to render in this vertical slot.\n"
					       "Build your 9:16 layout inside that OBS scene using\n"
					       "OBS's normal scene editor \u2014 all changes appear live."),
				this);
	hint->setWordWrap(true);
	hint->setStyleSheet(QStringLiteral("font-size: 11px; color: #aaa; margin-bottom: 6px;"));
	layout->addWidget(hint);

	hostSceneList = new QListWidget(this);
	auto *none = new QListWidgetItem(QStringLiteral("(None)"), hostSceneList);
	none->setData(Qt::UserRole, QString());
	if (currentSource.isEmpty())
		hostSceneList->setCurrentItem(none);

	{
		FrontendSceneList scenes;
		for (size_t i = 0; i < scenes.list.sources.num; ++i) {
			const QString name = QString::fromUtf8(obs_source_get_name(scenes.list.sources.array[i]));
			auto *item = new QListWidgetItem(name, hostSceneList);
			item->setData(Qt::UserRole, name);
			if (name == currentSource)
				hostSceneList->setCurrentItem(item);
		}
	}

	connect(hostSceneList, &QListWidget::itemDoubleClicked, this, &SceneConfigDialog::onItemDoubleClicked);
	layout->addWidget(hostSceneList);

	auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
	connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
	connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
	layout->addWidget(buttons);
}

QString SceneConfigDialog::selectedSource() const
{
	const QListWidgetItem *item = hostSceneList->currentItem();
	return item ? item->data(Qt::UserRole).toString() : QString();
}

void SceneConfigDialog::onItemDoubleClicked()
{
	accept();
}

} // namespace brasslight
