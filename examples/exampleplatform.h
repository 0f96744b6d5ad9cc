// What a host brings before any module may use the class library: the ORB,
// told where the CCO is, the value tree and the trace. The examples keep it
// here so that their own files show only the library.
#pragma once

#include <QCommandLineParser>
#include <QString>

namespace exampleplatform
{
// Adds --cco HOST:PORT and --trace to `parser`.
void addOptions(QCommandLineParser &parser);

// Up while it exists; goes down in the destructor, so objects of the library
// must go first. Reports a bad --cco or an ORB that does not come up on
// stderr and leaves ok() false.
class Platform
{
public:
    explicit Platform(const QCommandLineParser &parser);
    ~Platform();
    Platform(const Platform &) = delete;
    Platform &operator=(const Platform &) = delete;

    bool ok() const { return up; }

private:
    bool treeCreated = false;
    bool up = false;
};

// Prints `reason` as the program's one-line complaint and returns 2.
int badUsage(const QString &reason);
}
