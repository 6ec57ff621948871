#pragma once

#include <vector>

#include <QString>
#include <QWidget>

#include "common/settings-types.hpp"

class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace brasslight {

// The places the vertical stream goes, as the settings dialog edits them: a list whose check
// boxes are the destinations' enabled flags, and below it the selected one's name, URL and key.
// Nothing reaches the profile until the dialog saves. A profile with one enabled destination
// sees only its URL and key, as before there could be several; the list and the names appear
// with a second one.
class DestinationsEditor : public QWidget {
	Q_OBJECT

public:
	explicit DestinationsEditor(QWidget *parent = nullptr);
	~DestinationsEditor() override = default;

	// An empty list edits one blank destination.
	void setDestinations(const std::vector<Destination> &list);
	// As edited: names trimmed, URLs and keys as typed (the output trims them where it uses them).
	std::vector<Destination> destinations() const;
	// Why the list cannot be saved, in a sentence for the user, with the destination at fault
	// selected and the field to correct focused; empty when it can be saved.
	QString problem();

private slots:
	void onAdd();
	void onRemove();
	void onRowChanged(int row);
	void onItemChanged(QListWidgetItem *item);
	void onToggleKey();

private:
	bool several() const;
	void updateMode();
	QString refuse(int row, QLineEdit *field, const QString &why);

	std::vector<Destination> entries;
	int current = -1;
	QListWidget *list = nullptr;
	QLabel *nameLabel = nullptr;
	QLineEdit *nameEdit = nullptr;
	QLineEdit *urlEdit = nullptr;
	QLineEdit *keyEdit = nullptr;
	QPushButton *showKeyButton = nullptr;
	QPushButton *addButton = nullptr;
	QPushButton *removeButton = nullptr;
};

} // namespace brasslight
