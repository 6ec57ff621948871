#include "ui/message-boxes.hpp"

#include <QMessageBox>

namespace brasslight {

namespace {

void show_box(QMessageBox::Icon icon, const std::string &title, const std::string &text)
{
	QMessageBox box(icon, QString::fromStdString(title), QString::fromStdString(text), QMessageBox::Ok);
	box.setDefaultButton(QMessageBox::NoButton);
	box.exec();
}

} // namespace

void show_critical_box(const std::string &title, const std::string &text)
{
	show_box(QMessageBox::Critical, title, text);
}

void show_information_box(const std::string &title, const std::string &text)
{
	show_box(QMessageBox::Information, title, text);
}

} // namespace brasslight
