// The command table of vorn-host: every command that a script or the
// terminal can give is an entry here, added by name with its handler.
//
// A later command is added with HostCommands::add (see addBuiltinCommands in
// hostcommands.cpp for examples); nothing in main.cpp needs to change.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>

class IDllInstance;

// What a command may reach of the host application.
class HostServices
{
public:
    virtual ~HostServices() = default;
    // The instance that the plug-in's ZRCreate returned; null without a
    // plug-in or once it has been destroyed.
    virtual IDllInstance *pluginInstance() const = 0;
    // A symbol of the loaded plug-in (dlsym), or null.
    virtual void *pluginSymbol(const char *name) const = 0;
    // Destroys the plug-in instance and leaves the event loop.
    virtual void requestQuit() = 0;
};

// One command being run: its arguments, where it came from, and how it
// reports. A command that finishes later (wait, waitfor) calls defer() and
// the returned function once when it is done; the next command runs only
// after that.
class CommandCall
{
public:
    CommandCall(
        QString source, QString name, QStringList args, QString line, QList<int> argOffsets, HostServices &host);

    const QString &name() const { return commandName; }
    const QStringList &args() const { return arguments; }
    // The raw text of the line from argument `index` on, so that a value may
    // contain spaces. One quoted argument is returned without its quotes.
    QString rest(int index) const;
    HostServices &host() const { return services; }

    // One line of result on stdout.
    void print(const QString &text) const;
    // Reports on stderr why the command failed; returns false for the
    // handler to return.
    bool fail(const QString &reason);
    bool failed() const { return hasFailed; }

    std::function<void(bool ok)> defer();
    bool isDeferred() const { return deferred; }

private:
    friend class HostCommands;

    QString source;
    QString commandName;
    QStringList arguments;
    QString line;
    QList<int> argOffsets;
    HostServices &services;
    bool hasFailed = false;
    bool deferred = false;
    std::function<void(bool ok)> completion;
};

class HostCommands
{
public:
    // Returns whether the command succeeded; ignored once it deferred.
    using Handler = std::function<bool(CommandCall &call)>;

    struct Command
    {
        QString name;
        QString usage; // the arguments, e.g. "PATH VALUE"
        QString summary; // one line for help
        int minArgs = 0;
        int maxArgs = 0; // -1: no limit
        Handler handler;
    };

    // Replaces a command of the same name.
    void add(Command command);
    const Command *find(const QString &name) const;
    QList<const Command *> commands() const;

    // Runs one line (blank lines and lines starting with "#" do nothing).
    // `done` is called exactly once with whether it succeeded: before
    // execute returns, unless the command deferred.
    void execute(const QString &source, const QString &line, HostServices &host, std::function<void(bool ok)> done);

private:
    std::map<QString, Command> table;
};

// set, get, select, items, mkvalue, mknode, rm, tree, command, wait,
// waitfor, echo, help, quit.
void addBuiltinCommands(HostCommands &commands);

// Splits a command line at blanks; "..." keeps blanks in a token and may
// stand anywhere in it (with \" and \\ inside).
// Returns false with `error` set for an unterminated quote. `offsets` gets
// where each token starts in `line`.
bool tokenizeCommandLine(const QString &line, QStringList *tokens, QList<int> *offsets, QString *error);

// Output of the host: one line each, flushed at once so that a reader at the
// other end of a pipe sees it without delay.
void hostPrint(const QString &line);
void hostError(const QString &line);
