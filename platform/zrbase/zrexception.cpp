#include "zrexception.h"

ZRException::ZRException(const QString &message)
    : std::runtime_error(message.toStdString())
{
}

QString ZRException::Message() const
{
    return QString::fromStdString(what());
}
