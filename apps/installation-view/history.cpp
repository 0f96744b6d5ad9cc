#include "history.h"

#include <QDateTime>
#include <QJsonArray>
#include <QSet>

namespace installationview
{
namespace
{
QString str(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toString();
}

QString describeInput(int input, const QJsonObject &inputNames)
{
    const QString name = inputNames.value(QString::number(input)).toString();
    return name.isEmpty() ? QStringLiteral("input %1").arg(input)
                          : QStringLiteral("input %1 (%2)").arg(input).arg(name);
}

QString counted(int n, const char *what)
{
    return QStringLiteral("%1 %2%3").arg(n).arg(QLatin1String(what)).arg(n == 1 ? "" : "s");
}

// A spreadsheet runs a cell that begins like a formula; texts here come from
// remote trees.
QString csvCell(QString text)
{
    if (!text.isEmpty() && QStringLiteral("=+-@\t\r").contains(text.at(0)))
        text.prepend(QLatin1Char('\''));
    if (text.contains(QLatin1Char('"')) || text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('\n'))
        || text.contains(QLatin1Char('\r')))
        return QLatin1Char('"') + text.replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
    return text;
}
}

History::History(int capacity)
    : m_capacity(qMax(1, capacity))
{
}

void History::add(
    qint64 time, const QString &kind, const QString &subject, const QString &receiver, const QString &text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back({m_nextId++, time, kind, subject, receiver, text});
    while (int(m_events.size()) > m_capacity)
        m_events.pop_front();
}

void History::observe(const QJsonObject &state)
{
    const qint64 now = qint64(state.value(QStringLiteral("now")).toDouble());
    const QJsonObject cco = state.value(QStringLiteral("cco")).toObject();
    const bool ccoAnswering = cco.value(QStringLiteral("answering")).toBool();
    const QString ccoName = QStringLiteral("CCO %1").arg(str(cco, "location"));
    if (!m_started) {
        add(now, QStringLiteral("view started"), QStringLiteral("view"), QString(),
            QStringLiteral("watching %1 and %2")
                .arg(counted(state.value(QStringLiteral("receivers")).toArray().size(), "receiver"),
                    counted(state.value(QStringLiteral("matrices")).toArray().size(), "matrix manager")));
        m_ccoAnswering = true;
    }
    if (ccoAnswering != m_ccoAnswering)
        add(now, ccoAnswering ? QStringLiteral("cco back") : QStringLiteral("cco not answering"), ccoName, QString(),
            ccoAnswering ? QStringLiteral("the CCO answers again")
                         : QStringLiteral("the CCO does not answer: %1").arg(str(cco, "error")));
    m_ccoAnswering = ccoAnswering;
    observeMatrices(state, now);
    observeReceivers(state, now);
    m_started = true;
}

void History::observeMatrices(const QJsonObject &state, qint64 now)
{
    QSet<QString> listed;
    for (const QJsonValue &v : state.value(QStringLiteral("matrices")).toArray()) {
        const QJsonObject m = v.toObject();
        const QString name = str(m, "name");
        listed.insert(name);
        const bool asked = m.value(QStringLiteral("asked")).toBool();
        const bool answering = m.value(QStringLiteral("answering")).toBool();
        const QJsonObject labels = m.value(QStringLiteral("labels")).toObject();
        const QJsonObject outputNames = labels.value(QStringLiteral("outputs")).toObject();
        const QJsonObject inputNames = labels.value(QStringLiteral("inputs")).toObject();
        const auto known = m_matrices.find(name);
        const bool isNew = known == m_matrices.end();
        Matrix &seen = m_matrices[name];
        seen.label = str(m, "label");
        if (!asked)
            continue; // nothing to tell before it was asked once
        if (isNew && !m_started) {
            // Baseline, but a manager that does not answer needs attention.
            if (!answering)
                add(now, QStringLiteral("matrix not answering"), seen.label, QString(),
                    QStringLiteral("%1 does not answer: %2").arg(seen.label, str(m, "error")));
        } else if (isNew || answering != seen.answering) {
            if (answering)
                add(now, QStringLiteral("matrix back"), seen.label, QString(),
                    QStringLiteral("%1 answers%2")
                        .arg(seen.label, isNew ? QStringLiteral(" (registered)") : QString()));
            else
                add(now, QStringLiteral("matrix not answering"), seen.label, QString(),
                    QStringLiteral("%1 does not answer: %2").arg(seen.label, str(m, "error")));
        }
        seen.answering = answering;
        const QJsonArray grid
            = m.value(QStringLiteral("grid")).toObject().value(QStringLiteral("inputOfOutput")).toArray();
        if (!answering || grid.isEmpty())
            continue;
        QVector<int> now_;
        for (const QJsonValue &g : grid)
            now_.append(g.toInt());
        QMap<int, QString> names;
        for (auto it = outputNames.constBegin(); it != outputNames.constEnd(); ++it)
            names.insert(it.key().toInt(), it.value().toString());
        if (seen.hasGrid) {
            for (int o = 0; o < now_.size(); ++o) {
                const int before = o < seen.inputOfOutput.size() ? seen.inputOfOutput.at(o) : 0;
                const int after = now_.at(o);
                if (before == after)
                    continue;
                // An output lost to a restart is still named after the
                // receiver it served.
                const QString receiver = names.value(o + 1, seen.outputNames.value(o + 1));
                const QString output = receiver.isEmpty() ? QStringLiteral("output %1").arg(o + 1)
                                                          : QStringLiteral("output %1 (%2)").arg(o + 1).arg(receiver);
                if (before)
                    add(now, QStringLiteral("crosspoint released"), seen.label, receiver,
                        QStringLiteral("%1: %2 released from %3")
                            .arg(seen.label, describeInput(before, inputNames), output));
                if (after)
                    add(now, QStringLiteral("crosspoint connected"), seen.label, receiver,
                        QStringLiteral("%1: %2 connected to %3")
                            .arg(seen.label, describeInput(after, inputNames), output));
            }
        }
        seen.hasGrid = true;
        seen.inputOfOutput = now_;
        for (auto it = names.constBegin(); it != names.constEnd(); ++it)
            seen.outputNames.insert(it.key(), it.value());
    }
    // Unregistered managers stay known, so that one that comes back empty
    // after a restart shows what it lost.
    for (auto it = m_matrices.begin(); it != m_matrices.end(); ++it) {
        if (listed.contains(it.key()) || !it->answering)
            continue;
        it->answering = false;
        add(now, QStringLiteral("matrix not answering"), it->label, QString(),
            QStringLiteral("%1 is no longer registered at the CCO").arg(it->label));
    }
}

void History::observeReceivers(const QJsonObject &state, qint64 now)
{
    QSet<QString> listed;
    for (const QJsonValue &v : state.value(QStringLiteral("receivers")).toArray()) {
        const QJsonObject r = v.toObject();
        const QString name = str(r, "name");
        listed.insert(name);
        const QJsonObject tree = r.value(QStringLiteral("tree")).toObject();
        const QJsonObject driver = r.value(QStringLiteral("driver")).toObject();
        const QJsonObject sync = r.value(QStringLiteral("sync")).toObject();
        const bool isNew = !m_receivers.contains(name);
        Receiver &seen = m_receivers[name];
        if (isNew && m_started)
            add(now, QStringLiteral("receiver registered"), name, name,
                QStringLiteral("%1 registered at the CCO (%2:%3)")
                    .arg(name, str(r, "host"))
                    .arg(r.value(QStringLiteral("port")).toInt()));

        const QString answering = !tree.contains(QStringLiteral("answering"))
            ? QString()
            : (tree.value(QStringLiteral("answering")).toBool() ? QStringLiteral("yes") : QStringLiteral("no"));
        if (answering == QLatin1String("no") && seen.answering != QLatin1String("no"))
            add(now, QStringLiteral("tree lost"), name, name,
                QStringLiteral("the value tree of %1 does not answer%2")
                    .arg(name,
                        tree.contains(QStringLiteral("error")) ? QStringLiteral(": ") + str(tree, "error")
                                                               : QString()));
        else if (answering == QLatin1String("yes") && seen.answering == QLatin1String("no"))
            add(now, QStringLiteral("tree back"), name, name,
                QStringLiteral("the value tree of %1 answers again").arg(name));
        if (!answering.isEmpty())
            seen.answering = answering;

        // What a tree told stays as it was while it does not answer.
        const bool told = answering == QLatin1String("yes") && !str(driver, "path").isEmpty();
        if (told) {
            const QString antenna = str(driver, "antenna");
            const QString error = str(driver, "lastDriverError");
            if (seen.driverKnown && antenna != seen.antenna)
                add(now, QStringLiteral("selection changed"), name, name,
                    QStringLiteral("%1 selects %2 (was %3)")
                        .arg(name, antenna.isEmpty() ? QStringLiteral("nothing") : antenna,
                            seen.antenna.isEmpty() ? QStringLiteral("nothing") : seen.antenna));
            if (error != seen.error && !(error.isEmpty() && !seen.driverKnown)) {
                if (error.isEmpty())
                    add(now, QStringLiteral("driver error cleared"), name, name,
                        QStringLiteral("%1: driver error cleared (was \"%2\")").arg(name, seen.error));
                else
                    add(now, QStringLiteral("driver error set"), name, name,
                        QStringLiteral("%1: driver error \"%2\"").arg(name, error));
            }
            seen.antenna = antenna;
            seen.error = error;
            seen.driverKnown = true;
        }

        const QString verdict = str(sync, "state");
        if ((verdict == QLatin1String("in sync") || verdict == QLatin1String("out of sync")) && verdict != seen.sync) {
            // Coming into view in sync is no news; everything else is.
            if (!(seen.sync.isEmpty() && verdict == QLatin1String("in sync")))
                add(now, verdict, name, name, QStringLiteral("%1 %2: %3").arg(name, verdict, str(sync, "reason")));
            seen.sync = verdict;
        }
    }
    for (auto it = m_receivers.begin(); it != m_receivers.end();) {
        if (listed.contains(it.key())) {
            ++it;
            continue;
        }
        add(now, QStringLiteral("receiver unregistered"), it.key(), it.key(),
            QStringLiteral("%1 is no longer registered at the CCO").arg(it.key()));
        it = m_receivers.erase(it);
    }
}

QVector<HistoryEvent> History::events(const QString &receiver, quint64 since) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QVector<HistoryEvent> out;
    for (auto it = m_events.rbegin(); it != m_events.rend() && it->id > since; ++it) {
        if (receiver.isEmpty() || it->receiver == receiver)
            out.append(*it);
    }
    return out;
}

quint64 History::latest() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nextId - 1;
}

QJsonObject History::toJson(const QString &receiver, quint64 since) const
{
    QJsonArray array;
    for (const HistoryEvent &e : events(receiver, since))
        array.append(QJsonObject {{QStringLiteral("id"), double(e.id)}, {QStringLiteral("time"), double(e.time)},
            {QStringLiteral("kind"), e.kind}, {QStringLiteral("subject"), e.subject},
            {QStringLiteral("receiver"), e.receiver}, {QStringLiteral("text"), e.text}});
    return QJsonObject {{QStringLiteral("capacity"), m_capacity}, {QStringLiteral("latest"), double(latest())},
        {QStringLiteral("events"), array}};
}

QByteArray History::toCsv(const QString &receiver) const
{
    QByteArray csv = "id,time,kind,subject,receiver,text\r\n";
    for (const HistoryEvent &e : events(receiver)) {
        const QStringList cells {QString::number(e.id),
            QDateTime::fromMSecsSinceEpoch(e.time).toUTC().toString(Qt::ISODateWithMs), csvCell(e.kind),
            csvCell(e.subject), csvCell(e.receiver), csvCell(e.text)};
        csv += cells.join(QLatin1Char(',')).toUtf8() + "\r\n";
    }
    return csv;
}
}
