// Base of every value in the host value tree.
#pragma once

#include "treeitem.h"

namespace values
{
class ValueBase : public TreeItem
{
public:
    // States reported by GetState(). A value that enters StateReleased is
    // about to be destroyed: observers must let go of it.
    enum State { StateValid = 0, StateReleased = 1 };

    ~ValueBase() override;

    // Only before insertion into the tree (ignored afterwards); the name is
    // the last path segment. No notification.
    void SetName(const QString &name, IObserver *originator);

    virtual QString GetStringValue() const = 0;
    // Parses `text` into the value's type; false (and no change) when it
    // does not parse. Notifies code 3 when the content changed.
    virtual bool SetStringValue(const QString &text, IObserver *originator) = 0;
    // A short name of the value's type: "string", "bool", "int", "selection".
    virtual QString TypeName() const = 0;

    int GetState() const { return state; }
    // Notifies code 2 when the state changed.
    void SetState(int newState, IObserver *originator);
    // Delivers a command for this value to its observers (code 19).
    void ReceiveCommand(IObserver *originator);

    void DeleteObserver(IObserver *observer) override;
    void DeleteObservers() override;
    // Also reports the change to the tree's value listeners (the tree server)
    // when the value hangs in the process-wide tree. Observers and listeners
    // may remove or destroy the value while they are notified.
    void NotifyObservers(unsigned int code, IObserver *causing) override;

protected:
    ValueBase() = default;
    // For the destructors of the concrete value classes, where the value is
    // still whole: enters StateReleased (code 2) unless it is there already.
    void ReleaseBeforeDestruction();

private:
    int state = StateValid;
};
}
