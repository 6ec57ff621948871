#include "ui/scene-config-dialog.hpp"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>

#include <obs-frontend-api.h>
#include <obs.h>

#include "ui/ui-text.hpp"

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
	setWindowTitle(tr_text("Assign.Title") + sceneName);
	setMinimumSize(320, 400);

	auto *layout = new QVBoxLayout(this);

	auto *hint = new QLabel(tr_text("Assign.Hint"), this);
	hint->setWordWrap(true);
	hint->setStyleSheet(QStringLiteral("font-size: 11px; color: #aaa; margin-bottom: 6px;"));
	layout->addWidget(hint);

	hostSceneList = new QListWidget(this);
	auto *none = new QListWidgetItem(tr_text("Assign.None"), hostSceneList);
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
