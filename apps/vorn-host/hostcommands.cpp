#include "hostcommands.h"

#include "node.h"
#include "tree.h"
#include "treehost.h"
#include "value.h"
#include "valuebase.h"
#include "valueselection.h"
#include "zrexception.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>

namespace
{
void writeLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

values::Tree *tree()
{
    return values::Tree::Instance();
}

// The parent path and the name of the last segment of `path`; false when
// `path` names the root.
bool splitPath(const QString &path, QString *parent, QString *name)
{
    QStringList segments = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (segments.isEmpty())
        return false;
    *name = segments.takeLast();
    *parent = QLatin1Char('/') + segments.join(QLatin1Char('/'));
    return true;
}

QStringList splitItems(const QString &text)
{
    QStringList items;
    for (const QString &item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString trimmed = item.trimmed();
        if (!trimmed.isEmpty())
            items << trimmed;
    }
    return items;
}

bool parseMs(CommandCall &call, const QString &text, int *ms)
{
    bool ok = false;
    *ms = text.toInt(&ok);
    if (!ok || *ms < 0)
        return call.fail(QStringLiteral("'%1' is not a number of milliseconds").arg(text));
    return true;
}

values::ValueBase *requireValue(CommandCall &call, const QString &path)
{
    if (values::ValueBase *value = tree()->FindValue(path))
        return value;
    if (tree()->FindNode(path))
        call.fail(QStringLiteral("%1 is a node, not a value").arg(path));
    else
        call.fail(QStringLiteral("no value at %1").arg(path));
    return nullptr;
}

values::ValueSelection *requireSelection(CommandCall &call, const QString &path)
{
    values::ValueBase *value = requireValue(call, path);
    if (!value)
        return nullptr;
    auto *selection = dynamic_cast<values::ValueSelection *>(value);
    if (!selection)
        call.fail(QStringLiteral("%1 is a %2 value, not a selection").arg(path, value->TypeName()));
    return selection;
}

QString valueLine(values::ValueBase *value)
{
    return QStringLiteral("%1 [%2] = %3").arg(value->GetPath(), value->TypeName(), value->GetStringValue());
}

void printItem(const CommandCall &call, values::TreeItem *item)
{
    if (auto *value = dynamic_cast<values::ValueBase *>(item)) {
        call.print(valueLine(value));
        return;
    }
    auto *node = dynamic_cast<values::Node *>(item);
    if (!node)
        return;
    const QString path = node->GetPath();
    call.print(path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/'));
    for (values::TreeItem *child : node->GetTreeItems())
        printItem(call, child);
}

bool cmdSet(CommandCall &call)
{
    values::ValueBase *value = requireValue(call, call.args().at(0));
    if (!value)
        return false;
    const QString text = call.rest(1);
    if (!value->SetStringValue(text, nullptr))
        return call.fail(
            QStringLiteral("'%1' is not a valid %2 for %3").arg(text, value->TypeName(), value->GetPath()));
    return true;
}

bool cmdGet(CommandCall &call)
{
    values::ValueBase *value = requireValue(call, call.args().at(0));
    if (!value)
        return false;
    call.print(QStringLiteral("%1 = %2").arg(value->GetPath(), value->GetStringValue()));
    return true;
}

bool cmdSelect(CommandCall &call)
{
    values::ValueSelection *selection = requireSelection(call, call.args().at(0));
    if (!selection)
        return false;
    const QString item = call.rest(1);
    if (!item.isEmpty() && !selection->GetItem(item))
        return call.fail(QStringLiteral("%1 has no item '%2' (items: %3)")
                             .arg(selection->GetPath(), item, selection->GetItemNames().join(QLatin1Char(','))));
    selection->SetSelectedItem(item, nullptr);
    return true;
}

bool cmdItems(CommandCall &call)
{
    values::ValueSelection *selection = requireSelection(call, call.args().at(0));
    if (!selection)
        return false;
    if (call.args().size() > 1)
        selection->SetItems(splitItems(call.rest(1)), nullptr);
    call.print(
        QStringLiteral("%1 items = %2").arg(selection->GetPath(), selection->GetItemNames().join(QLatin1Char(','))));
    return true;
}

bool cmdMkValue(CommandCall &call)
{
    const QString type = call.args().at(0);
    const QString path = call.args().at(1);
    QString parent;
    QString name;
    if (!splitPath(path, &parent, &name))
        return call.fail(QStringLiteral("'%1' names no value").arg(path));

    std::unique_ptr<values::ValueBase> value;
    if (type == QLatin1String("string"))
        value.reset(new values::Value<QString>());
    else if (type == QLatin1String("bool"))
        value.reset(new values::Value<bool>());
    else if (type == QLatin1String("int"))
        value.reset(new values::Value<int>());
    else if (type == QLatin1String("selection"))
        value.reset(new values::ValueSelection());
    else
        return call.fail(QStringLiteral("unknown type '%1' (string, bool, int, selection)").arg(type));
    value->SetName(name, nullptr);

    // The content is set before insertion, so a bad one changes nothing.
    if (call.args().size() > 2) {
        const QString text = call.rest(2);
        if (auto *selection = dynamic_cast<values::ValueSelection *>(value.get()))
            selection->SetItems(splitItems(text), nullptr);
        else if (!value->SetStringValue(text, nullptr))
            return call.fail(QStringLiteral("'%1' is not a valid %2").arg(text, type));
    }

    try {
        if (!tree()->AddValue(parent, value.get()))
            return call.fail(QStringLiteral("%1 exists already").arg(path));
    } catch (const ZRException &e) {
        return call.fail(e.Message());
    }
    value.release(); // the tree owns it now
    return true;
}

bool cmdMkNode(CommandCall &call)
{
    const QString path = call.args().at(0);
    if (tree()->FindValue(path))
        return call.fail(QStringLiteral("%1 is a value").arg(path));
    if (!values::TreeHost::AddNode(path))
        return call.fail(QStringLiteral("a value stands in the way of %1").arg(path));
    return true;
}

bool cmdRm(CommandCall &call)
{
    const QString path = call.args().at(0);
    if (tree()->FindValue(path)) {
        tree()->RemoveValue(path);
        return true;
    }
    values::Node *node = tree()->FindNode(path);
    if (!node)
        return call.fail(QStringLiteral("nothing at %1").arg(path));
    if (node == values::TreeHost::Root())
        return call.fail(QStringLiteral("the root cannot be removed"));
    if (!values::TreeHost::RemoveNode(path))
        return call.fail(QStringLiteral("%1 could not be removed").arg(path));
    return true;
}

bool cmdTree(CommandCall &call)
{
    const QString path = call.args().isEmpty() ? QStringLiteral("/") : call.args().at(0);
    if (values::ValueBase *value = tree()->FindValue(path)) {
        printItem(call, value);
        return true;
    }
    values::Node *node = tree()->FindNode(path);
    if (!node)
        return call.fail(QStringLiteral("nothing at %1").arg(path));
    printItem(call, node);
    return true;
}

bool cmdCommand(CommandCall &call)
{
    values::ValueBase *value = requireValue(call, call.args().at(0));
    if (!value)
        return false;
    value->ReceiveCommand(nullptr);
    return true;
}

bool cmdWait(CommandCall &call)
{
    int ms = 0;
    if (!parseMs(call, call.args().at(0), &ms))
        return false;
    // Parented to the application, so that a quit during the wait frees it.
    auto *timer = new QTimer(QCoreApplication::instance());
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, done = call.defer()] {
        timer->deleteLater();
        done(true);
    });
    timer->start(ms);
    return true;
}

// Waits until a value's text equals the expected one. Notifications catch
// a change at once; the poll catches a value that is created with the text
// already in it.
class ValueWaiter : public QObject
{
public:
    ValueWaiter(QString path, QString expected, int timeoutMs, std::function<void(bool)> done)
        : QObject(QCoreApplication::instance())
        , path(path)
        , canonicalPath(QLatin1Char('/') + path.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/')))
        , expected(std::move(expected))
        , timeoutMs(timeoutMs)
        , done(std::move(done))
    {
        listenerId = values::TreeHost::AddValueListener([this](values::ValueBase *value, unsigned int) {
            if (value->GetPath() == canonicalPath && value->GetStringValue() == this->expected)
                finish(true);
        });
        clock.start();
        poll.setInterval(20);
        QObject::connect(&poll, &QTimer::timeout, this, [this] { check(); });
        poll.start();
        check();
    }

    ~ValueWaiter() override
    {
        // A quit while waiting: the tree may be gone already.
        if (!finished)
            values::TreeHost::RemoveValueListener(listenerId);
    }

private:
    void check()
    {
        values::ValueBase *value = tree()->FindValue(path);
        if (value && value->GetStringValue() == expected) {
            finish(true);
            return;
        }
        if (clock.elapsed() >= timeoutMs) {
            hostError(QStringLiteral("error: waitfor: %1 did not become '%2' within %3 ms (it is %4)")
                          .arg(path, expected)
                          .arg(timeoutMs)
                          .arg(value ? QStringLiteral("'%1'").arg(value->GetStringValue()) : QStringLiteral("absent")));
            finish(false);
        }
    }

    // May be reached inside a value's notification: the next command must
    // not run there, so the result is handed on through the event loop.
    void finish(bool ok)
    {
        if (finished)
            return;
        finished = true;
        poll.stop();
        values::TreeHost::RemoveValueListener(listenerId);
        QTimer::singleShot(0, this, [this, ok] {
            deleteLater();
            done(ok);
        });
    }

    QString path;
    QString canonicalPath;
    QString expected;
    int timeoutMs;
    std::function<void(bool)> done;
    QTimer poll;
    QElapsedTimer clock;
    int listenerId = -1;
    bool finished = false;
};

bool cmdWaitFor(CommandCall &call)
{
    int timeoutMs = 5000;
    if (call.args().size() > 2 && !parseMs(call, call.args().at(2), &timeoutMs))
        return false;
    new ValueWaiter(call.args().at(0), call.args().at(1), timeoutMs, call.defer());
    return true;
}

bool cmdEcho(CommandCall &call)
{
    call.print(call.args().isEmpty() ? QString() : call.rest(0));
    return true;
}

bool cmdQuit(CommandCall &call)
{
    call.host().requestQuit();
    return true;
}
}

CommandCall::CommandCall(
    QString source, QString name, QStringList args, QString line, QList<int> argOffsets, HostServices &host)
    : source(std::move(source))
    , commandName(std::move(name))
    , arguments(std::move(args))
    , line(std::move(line))
    , argOffsets(std::move(argOffsets))
    , services(host)
{
}

QString CommandCall::rest(int index) const
{
    if (index < 0 || index >= arguments.size())
        return QString();
    if (index == arguments.size() - 1)
        return arguments.at(index);
    return line.mid(argOffsets.at(index)).trimmed();
}

void CommandCall::print(const QString &text) const
{
    hostPrint(text);
}

bool CommandCall::fail(const QString &reason)
{
    hasFailed = true;
    hostError(QStringLiteral("error: %1: %2: %3").arg(source, commandName, reason));
    return false;
}

std::function<void(bool ok)> CommandCall::defer()
{
    deferred = true;
    return completion;
}

void HostCommands::add(Command command)
{
    const QString name = command.name;
    table[name] = std::move(command);
}

const HostCommands::Command *HostCommands::find(const QString &name) const
{
    auto it = table.find(name);
    return it == table.end() ? nullptr : &it->second;
}

QList<const HostCommands::Command *> HostCommands::commands() const
{
    QList<const Command *> list;
    for (const auto &entry : table)
        list << &entry.second;
    return list;
}

void HostCommands::execute(
    const QString &source, const QString &line, HostServices &host, std::function<void(bool ok)> done)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#'))) {
        done(true);
        return;
    }

    QStringList tokens;
    QList<int> offsets;
    QString error;
    if (!tokenizeCommandLine(line, &tokens, &offsets, &error)) {
        hostError(QStringLiteral("error: %1: %2").arg(source, error));
        done(false);
        return;
    }

    const QString name = tokens.takeFirst();
    offsets.removeFirst();
    const Command *command = find(name);
    if (!command) {
        hostError(QStringLiteral("error: %1: unknown command '%2' (try 'help')").arg(source, name));
        done(false);
        return;
    }

    CommandCall call(source, name, tokens, line, offsets, host);
    const int count = tokens.size();
    if (count < command->minArgs || (command->maxArgs >= 0 && count > command->maxArgs)) {
        call.fail(QStringLiteral("usage: %1 %2").arg(name, command->usage));
        done(false);
        return;
    }
    if (!values::Tree::Instance() && name != QLatin1String("quit") && name != QLatin1String("help")
        && name != QLatin1String("echo")) {
        call.fail(QStringLiteral("there is no value tree"));
        done(false);
        return;
    }

    call.completion = done;
    const bool ok = command->handler(call) && !call.failed();
    if (!call.isDeferred())
        done(ok);
}

bool tokenizeCommandLine(const QString &line, QStringList *tokens, QList<int> *offsets, QString *error)
{
    tokens->clear();
    offsets->clear();
    int i = 0;
    const int n = line.size();
    while (i < n) {
        while (i < n && line.at(i).isSpace())
            ++i;
        if (i >= n)
            break;
        offsets->append(i);
        QString token;
        // As in a shell, quoted stretches may stand anywhere in a token.
        while (i < n && !line.at(i).isSpace()) {
            if (line.at(i) != QLatin1Char('"')) {
                token += line.at(i++);
                continue;
            }
            ++i;
            bool closed = false;
            while (i < n) {
                const QChar c = line.at(i++);
                if (c == QLatin1Char('"')) {
                    closed = true;
                    break;
                }
                if (c == QLatin1Char('\\') && i < n)
                    token += line.at(i++);
                else
                    token += c;
            }
            if (!closed) {
                *error = QStringLiteral("unterminated quote");
                return false;
            }
        }
        tokens->append(token);
    }
    if (tokens->isEmpty()) {
        *error = QStringLiteral("empty command");
        return false;
    }
    return true;
}

void hostPrint(const QString &line)
{
    writeLine(stdout, line);
}

void hostError(const QString &line)
{
    writeLine(stderr, line);
}

void addBuiltinCommands(HostCommands &commands)
{
    using Command = HostCommands::Command;
    commands.add(Command {QStringLiteral("set"), QStringLiteral("PATH VALUE"),
        QStringLiteral("writes the value's text (the rest of the line; quote it to keep blanks)"), 2, -1, cmdSet});
    commands.add(Command {
        QStringLiteral("get"), QStringLiteral("PATH"), QStringLiteral("prints \"PATH = VALUE\""), 1, 1, cmdGet});
    commands.add(Command {QStringLiteral("select"), QStringLiteral("PATH ITEM"),
        QStringLiteral("selects an item of a selection (\"\" selects none)"), 2, -1, cmdSelect});
    commands.add(Command {QStringLiteral("items"), QStringLiteral("PATH [A,B,C]"),
        QStringLiteral("sets the items of a selection when given; prints \"PATH items = A,B,C\""), 1, -1, cmdItems});
    commands.add(Command {QStringLiteral("mkvalue"), QStringLiteral("string|bool|int|selection PATH [VALUE|A,B,C]"),
        QStringLiteral("creates a value (and missing nodes); a selection takes its items"), 2, -1, cmdMkValue});
    commands.add(Command {QStringLiteral("mknode"), QStringLiteral("PATH"),
        QStringLiteral("creates a node with its missing parents"), 1, 1, cmdMkNode});
    commands.add(Command {QStringLiteral("rm"), QStringLiteral("PATH"),
        QStringLiteral("removes a value, or a node with everything below it"), 1, 1, cmdRm});
    commands.add(Command {QStringLiteral("tree"), QStringLiteral("[PATH]"),
        QStringLiteral("prints nodes as \"PATH/\" and values as \"PATH [TYPE] = VALUE\""), 0, 1, cmdTree});
    commands.add(Command {QStringLiteral("command"), QStringLiteral("PATH"),
        QStringLiteral("delivers a command to the value's observers (code 19)"), 1, 1, cmdCommand});
    commands.add(Command {QStringLiteral("wait"), QStringLiteral("MS"),
        QStringLiteral("lets the event loop run for MS milliseconds"), 1, 1, cmdWait});
    commands.add(Command {QStringLiteral("waitfor"), QStringLiteral("PATH VALUE [TIMEOUT_MS]"),
        QStringLiteral("waits until the value's text is VALUE (default timeout 5000 ms)"), 2, 3, cmdWaitFor});
    commands.add(
        Command {QStringLiteral("echo"), QStringLiteral("[TEXT]"), QStringLiteral("prints TEXT"), 0, -1, cmdEcho});
    commands.add(Command {
        QStringLiteral("quit"), QString(), QStringLiteral("destroys the plug-in instance and exits"), 0, 0, cmdQuit});
    commands.add(Command {QStringLiteral("help"), QStringLiteral("[COMMAND]"), QStringLiteral("lists the commands"), 0,
        1, [&commands](CommandCall &call) {
            if (!call.args().isEmpty() && !commands.find(call.args().at(0)))
                return call.fail(QStringLiteral("unknown command '%1'").arg(call.args().at(0)));
            for (const Command *command : commands.commands()) {
                if (!call.args().isEmpty() && call.args().at(0) != command->name)
                    continue;
                call.print(QStringLiteral("%1 %2").arg(command->name, command->usage).trimmed());
                call.print(QStringLiteral("    %1").arg(command->summary));
            }
            return true;
        }});
}
