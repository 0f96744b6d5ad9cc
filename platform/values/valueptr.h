// Pointers that observe the value they hold.
#pragma once

#include "iobserver.h"
#include "valuebase.h"

namespace values
{
// Holds a value and observes it. When the value reports code 2 with state 1
// (it is going away) the pointer lets go of it and becomes null. reset()
// moves the registration from the old value to the new one.
template<typename T>
class ValuePtr : protected IObserver
{
public:
    ValuePtr() = default;
    explicit ValuePtr(T *value) { reset(value); }
    ValuePtr(const ValuePtr &) = delete;
    ValuePtr &operator=(const ValuePtr &) = delete;
    ~ValuePtr() override { reset(nullptr); }

    void reset(T *value = nullptr)
    {
        if (value == current)
            return;
        detach();
        current = value;
        if (current) {
            // The owner goes first, so that it still sees the value's release
            // (code 2, state 1) before this pointer lets go of both.
            if (owner)
                current->AddObserver(owner);
            current->AddObserver(this);
        }
    }

    T *get() const { return current; }
    T *operator->() const { return current; }
    T &operator*() const { return *current; }
    explicit operator bool() const { return current != nullptr; }

protected:
    explicit ValuePtr(IObserver *ownerObserver)
        : owner(ownerObserver)
    {
    }

    void Notify(Observable *subject, unsigned int code) override
    {
        if (current && subject == current && code == 2 && current->GetState() == ValueBase::StateReleased)
            detach();
    }

private:
    void detach()
    {
        if (!current)
            return;
        T *old = current;
        current = nullptr;
        old->DeleteObserver(this);
        if (owner)
            old->DeleteObserver(owner);
    }

    T *current = nullptr;
    IObserver *owner = nullptr;
};

// A ValuePtr that also registers an owner's observer on the held value, so
// that the owner receives the value's notifications. The owner's
// registration follows the pointer: reset moves it, release drops it.
template<typename T>
class ValueObservingPtr : public ValuePtr<T>
{
public:
    explicit ValueObservingPtr(IObserver *owner, T *value = nullptr)
        : ValuePtr<T>(owner)
    {
        this->reset(value);
    }
};
}
