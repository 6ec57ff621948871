#pragma once

#include <QDialog>
#include <QString>

class QListWidget;

namespace brasslight {

// Lets the user pick the host scene that a vertical slot shows: "(None)" and the host's scenes
// as they are when the dialog opens, the slot's current one preselected.
class SceneConfigDialog : public QDialog {
	Q_OBJECT

public:
	SceneConfigDialog(const QString &sceneName, const QString &currentSource, QWidget *parent = nullptr);
	~SceneConfigDialog() override = default;

	// The host scene name of the list's current item; empty for "(None)" or no current item.
	QString selectedSource() const;

private slots:
	void onItemDoubleClicked();

private:
	QListWidget *hostSceneList = nullptr;
};

} // namespace brasslight
