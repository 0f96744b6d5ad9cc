// Typed values of the host value tree: QString, bool and int.
#pragma once

#include "valuebase.h"

namespace values
{
template<typename T>
class Value : public ValueBase
{
public:
    Value() = default;
    // A value deleted without RemoveValue is released first (code 2, state
    // 1), so that pointers and observers still let go of it.
    ~Value() override;

    T GetValue() const { return content; }
    // Notifies code 3 only when the content changed. Returns whether it did.
    bool SetValue(const T &newContent, IObserver *originator);

    QString GetStringValue() const override;
    bool SetStringValue(const QString &text, IObserver *originator) override;
    QString TypeName() const override;

private:
    T content{};
};

extern template class Value<QString>;
extern template class Value<bool>;
extern template class Value<int>;
}
