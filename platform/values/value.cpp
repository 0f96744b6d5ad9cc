#include "value.h"

#include "changecodes.h"

namespace values
{
namespace
{
// Text forms per content type. Overloads rather than member specialisations:
// the header already declares the explicit instantiations.
QString toText(const QString &content)
{
    return content;
}

QString toText(bool content)
{
    return content ? QStringLiteral("true") : QStringLiteral("false");
}

QString toText(int content)
{
    return QString::number(content);
}

bool fromText(const QString &text, QString &content)
{
    content = text;
    return true;
}

bool fromText(const QString &text, bool &content)
{
    const QString word = text.trimmed();
    if (word.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || word == QLatin1String("1")) {
        content = true;
        return true;
    }
    if (word.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0 || word == QLatin1String("0")) {
        content = false;
        return true;
    }
    return false;
}

bool fromText(const QString &text, int &content)
{
    bool ok = false;
    const int number = text.trimmed().toInt(&ok, 10);
    if (ok)
        content = number;
    return ok;
}

QString typeName(const QString *)
{
    return QStringLiteral("string");
}

QString typeName(const bool *)
{
    return QStringLiteral("bool");
}

QString typeName(const int *)
{
    return QStringLiteral("int");
}
}

template<typename T>
Value<T>::~Value()
{
    ReleaseBeforeDestruction();
}

template<typename T>
bool Value<T>::SetValue(const T &newContent, IObserver *originator)
{
    if (content == newContent)
        return false;
    content = newContent;
    NotifyObservers(ChangeCode::ValueChanged, originator);
    return true;
}

template<typename T>
QString Value<T>::GetStringValue() const
{
    return toText(content);
}

template<typename T>
bool Value<T>::SetStringValue(const QString &text, IObserver *originator)
{
    T parsed{};
    if (!fromText(text, parsed))
        return false;
    SetValue(parsed, originator);
    return true;
}

template<typename T>
QString Value<T>::TypeName() const
{
    return typeName(static_cast<const T *>(nullptr));
}

template class Value<QString>;
template class Value<bool>;
template class Value<int>;
}
