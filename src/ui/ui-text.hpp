#pragma once

#include <string>

#include <QString>

#include "common/text.hpp"

namespace brasslight {

// A user-visible text of the locale file as Qt shows it.
inline QString tr_text(const char *key)
{
	return QString::fromUtf8(text(key));
}

inline QString utf8(const std::string &value)
{
	return QString::fromUtf8(value.c_str());
}

inline std::string utf8(const QString &value)
{
	return value.toUtf8().toStdString();
}

} // namespace brasslight
