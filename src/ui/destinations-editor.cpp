#include "ui/destinations-editor.hpp"

#include <algorithm>
#include <string>

#include <QAbstractItemModel>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "common/strings.hpp"
#include "ui/ui-text.hpp"

namespace brasslight {

namespace {

bool starts_with(const std::string &text, const char *prefix)
{
	return text.rfind(prefix, 0) == 0;
}

bool taken(const std::vector<Destination> &list, const std::string &name, size_t before)
{
	return std::any_of(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(before),
			   [&](const Destination &other) { return trimmed(other.name) == name; });
}

} // namespace

DestinationsEditor::DestinationsEditor(QWidget *parent) : QWidget(parent)
{
	auto *layout = new QVBoxLayout(this);
	layout->setContentsMargins(0, 0, 0, 0);
	layout->setSpacing(8);

	list = new QListWidget(this);
	list->setAccessibleName(tr_text("Settings.Destinations.Name"));
	list->setToolTip(tr_text("Settings.Destinations.Tooltip"));
	connect(list, &QListWidget::currentRowChanged, this, &DestinationsEditor::onRowChanged);
	connect(list, &QListWidget::itemChanged, this, &DestinationsEditor::onItemChanged);
	layout->addWidget(list);

	auto *form = new QFormLayout();
	form->setSpacing(8);
	nameEdit = new QLineEdit(this);
	form->addRow(tr_text("Settings.DestinationName"), nameEdit);
	nameLabel = qobject_cast<QLabel *>(form->labelForField(nameEdit));
	urlEdit = new QLineEdit(this);
	urlEdit->setPlaceholderText(tr_text("Settings.UrlPlaceholder"));
	form->addRow(tr_text("Settings.Url"), urlEdit);
	auto *keyRow = new QHBoxLayout();
	keyEdit = new QLineEdit(this);
	keyEdit->setEchoMode(QLineEdit::Password);
	keyEdit->setPlaceholderText(tr_text("Settings.KeyPlaceholder"));
	keyEdit->setAccessibleName(tr_text("Settings.Key.Name"));
	showKeyButton = new QPushButton(tr_text("Settings.HideKey"), this);
	showKeyButton->setCheckable(true);
	showKeyButton->setAccessibleName(tr_text("Settings.ShowKey.Name"));
	// As wide as the wider of its two texts under the host's theme (most themes pad buttons
	// well beyond a fixed width), so that neither is clipped and the row never shifts.
	const int hideWidth = showKeyButton->sizeHint().width();
	showKeyButton->setText(tr_text("Settings.ShowKey"));
	showKeyButton->setMinimumWidth(std::max(hideWidth, showKeyButton->sizeHint().width()));
	connect(showKeyButton, &QPushButton::toggled, this, &DestinationsEditor::onToggleKey);
	keyRow->addWidget(keyEdit);
	keyRow->addWidget(showKeyButton);
	form->addRow(tr_text("Settings.Key"), keyRow);
	if (auto *keyLabel = qobject_cast<QLabel *>(form->labelForField(keyRow)))
		keyLabel->setBuddy(keyEdit);
	layout->addLayout(form);

	// Each keystroke goes to the selected destination; the profile sees it only on Save.
	connect(nameEdit, &QLineEdit::textChanged, this, [this](const QString &text) {
		if (current < 0)
			return;
		entries[static_cast<size_t>(current)].name = utf8(text);
		list->item(current)->setText(text);
	});
	connect(urlEdit, &QLineEdit::textChanged, this, [this](const QString &text) {
		if (current >= 0)
			entries[static_cast<size_t>(current)].url = utf8(text);
	});
	connect(keyEdit, &QLineEdit::textChanged, this, [this](const QString &text) {
		if (current >= 0)
			entries[static_cast<size_t>(current)].key = utf8(text);
	});

	auto *buttons = new QHBoxLayout();
	buttons->addStretch(1);
	removeButton = new QPushButton(tr_text("Settings.RemoveDestination"), this);
	removeButton->setAccessibleName(tr_text("Settings.RemoveDestination.Name"));
	connect(removeButton, &QPushButton::clicked, this, &DestinationsEditor::onRemove);
	addButton = new QPushButton(tr_text("Settings.AddDestination"), this);
	addButton->setAccessibleName(tr_text("Settings.AddDestination.Name"));
	addButton->setToolTip(tr_text("Settings.AddDestination.Tooltip"));
	connect(addButton, &QPushButton::clicked, this, &DestinationsEditor::onAdd);
	buttons->addWidget(removeButton);
	buttons->addWidget(addButton);
	layout->addLayout(buttons);
}

void DestinationsEditor::setDestinations(const std::vector<Destination> &stored)
{
	entries = stored;
	if (entries.empty())
		entries.emplace_back();
	const QSignalBlocker block(list);
	list->clear();
	for (const Destination &destination : entries) {
		auto *item = new QListWidgetItem(utf8(destination.name), list);
		item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
		item->setCheckState(destination.enabled ? Qt::Checked : Qt::Unchecked);
	}
	list->setCurrentRow(0);
	onRowChanged(0);
	updateMode();
}

std::vector<Destination> DestinationsEditor::destinations() const
{
	std::vector<Destination> out = entries;
	for (Destination &destination : out)
		destination.name = trimmed(destination.name);
	return out;
}

// Two or more destinations, or the only one switched off (which the user must be able to see
// and switch on again): the list and the names are shown.
bool DestinationsEditor::several() const
{
	return entries.size() > 1 || (entries.size() == 1 && !entries.front().enabled);
}

void DestinationsEditor::updateMode()
{
	const bool many = several();
	list->setVisible(many);
	nameLabel->setVisible(many);
	nameEdit->setVisible(many);
	removeButton->setVisible(many);
	removeButton->setEnabled(entries.size() > 1);
	// Three to five rows as tall as the host's theme draws them; more scroll, so that the dialog
	// keeps its height with eight destinations.
	const int row = list->count() > 0 ? list->sizeHintForRow(0) : list->fontMetrics().height() + 8;
	list->setFixedHeight(std::clamp(list->count(), 3, 5) * row + 2 * list->frameWidth());
	addButton->setEnabled(entries.size() < kMaxDestinations);
}

void DestinationsEditor::onRowChanged(int row)
{
	current = row >= 0 && static_cast<size_t>(row) < entries.size() ? row : -1;
	if (current < 0)
		return;
	const Destination &destination = entries[static_cast<size_t>(current)];
	// Copies first: each setText writes back into the entry through the edits' signals.
	const QString name = utf8(destination.name);
	const QString url = utf8(destination.url);
	const QString key = utf8(destination.key);
	nameEdit->setText(name);
	urlEdit->setText(url);
	keyEdit->setText(key);
	// A key shown for one destination is not shown for the next one selected.
	showKeyButton->setChecked(false);
}

void DestinationsEditor::onItemChanged(QListWidgetItem *item)
{
	const int row = list->row(item);
	if (row >= 0 && static_cast<size_t>(row) < entries.size())
		entries[static_cast<size_t>(row)].enabled = item->checkState() == Qt::Checked;
}

void DestinationsEditor::onAdd()
{
	if (entries.size() >= kMaxDestinations)
		return;
	Destination added;
	for (size_t n = entries.size() + 1; added.name.empty() || taken(entries, added.name, entries.size()); ++n)
		added.name = utf8(tr_text("Settings.NewDestination").arg(n));
	entries.push_back(added);
	{
		const QSignalBlocker block(list);
		auto *item = new QListWidgetItem(utf8(added.name), list);
		item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
		item->setCheckState(Qt::Checked);
	}
	updateMode();
	list->setCurrentRow(static_cast<int>(entries.size()) - 1);
	nameEdit->setFocus();
	nameEdit->selectAll();
}

void DestinationsEditor::onRemove()
{
	if (entries.size() <= 1 || current < 0)
		return;
	const int row = current;
	entries.erase(entries.begin() + row);
	const int next = std::min(row, static_cast<int>(entries.size()) - 1);
	{
		// The list's own notices would name rows of the list before the removal.
		const QSignalBlocker block(list);
		list->model()->removeRow(row);
		list->setCurrentRow(next);
	}
	onRowChanged(next);
	updateMode();
}

void DestinationsEditor::onToggleKey()
{
	const bool shown = showKeyButton->isChecked();
	keyEdit->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
	showKeyButton->setText(tr_text(shown ? "Settings.HideKey" : "Settings.ShowKey"));
}

QString DestinationsEditor::refuse(int row, QLineEdit *field, const QString &why)
{
	list->setCurrentRow(row);
	field->setFocus();
	return why;
}

// Every destination of several needs a name of its own (remote control and the dock's lines
// tell them apart by it), a URL the output can connect to and a key. The only destination may
// be left blank altogether: a profile that only records has nowhere to stream to.
QString DestinationsEditor::problem()
{
	const bool many = several();
	for (size_t i = 0; i < entries.size(); ++i) {
		const int row = static_cast<int>(i);
		const std::string name = trimmed(entries[i].name);
		if (many && name.empty())
			return refuse(row, nameEdit, tr_text("Settings.NameEmpty"));
		if (many && taken(entries, name, i))
			return refuse(row, nameEdit, tr_text("Settings.NameTaken").arg(utf8(name)));
		const std::string url = trimmed(entries[i].url);
		const std::string key = trimmed(entries[i].key);
		if (!many && url.empty() && key.empty())
			continue;
		QString why;
		QLineEdit *field = urlEdit;
		if (url.empty()) {
			why = tr_text("Settings.UrlEmpty");
		} else if (!starts_with(url, "rtmp://") && !starts_with(url, "rtmps://")) {
			// The output connects through FFmpeg, whose protocol names are lower case only.
			why = tr_text("Settings.UrlScheme");
		} else if (key.empty()) {
			why = tr_text("Settings.KeyEmpty");
			field = keyEdit;
		}
		if (!why.isEmpty())
			return refuse(row, field, many ? tr_text("Settings.InDestination").arg(utf8(name), why) : why);
	}
	return {};
}

} // namespace brasslight
