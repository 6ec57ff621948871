#include "ui/message-boxes.hpp"

#include <QCoreApplication>
#include <QMessageBox>
#include <QMetaObject>

namespace brasslight {

namespace {

void post_box(QMessageBox::Icon icon, const std::string &title, const std::string &text)
{
	QCoreApplication *app = QCoreApplication::instance();
	if (!app)
		return;
	QMetaObject::invokeMethod(
		app,
		[icon, title = QString::fromStdString(title), text = QString::fromStdString(text)]() {
			QMessageBox box(icon, title, text, QMessageBox::Ok);
			box.setDefaultButton(QMessageBox::NoButton);
			box.exec();
		},
		Qt::QueuedConnection);
}

} // namespace

void post_critical_box(const std::string &title, const std::string &text)
{
	post_box(QMessageBox::Critical, title, text);
}

void post_information_box(const std::string &title, const std::string &text)
{
	post_box(QMessageBox::Information, title, text);
}

} // namespace brasslight
