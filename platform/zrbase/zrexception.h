// The platform's exception class.
#pragma once

#include <QString>
#include <stdexcept>

class ZRException : public std::runtime_error
{
public:
    explicit ZRException(const QString &message);
    QString Message() const;
};
