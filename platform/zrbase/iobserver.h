// Receiver side of the platform's observer pattern.
#pragma once

class Observable;

class IObserver
{
public:
    virtual ~IObserver() = default;
    // Called synchronously on the thread that changed the subject. The
    // observer may remove itself (or any other observer) from the subject
    // while being notified.
    virtual void Notify(Observable *subject, unsigned int code) = 0;
};
