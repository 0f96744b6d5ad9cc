// Helpers of the antenna tests: one cco-server for the whole test program
// (the process's ORB finds the CCO through a fixed initial reference), a
// matrix-server per test read back over IIOP, a receiver's value tree, an
// in-memory configuration and captured driver traces.
#pragma once

#include "icfg.h"
#include "serverprocess.h"

#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <cco.hh>
#include <matrixmanager.hh>

#include <memory>
#include <mutex>

namespace antennatest
{
// The workstation name every test pretends to run on; the matrix-servers
// register under it.
extern const char *const workstation;

// The cco-server of this test program, started before the first test.
testsupport::ServerProcess &ccoServer();
// The CCO as the tests see it, for binding odd objects under a name.
CCO::IF_CCO_c_ptr cco();
// Every test gets its own matrix id and device path.
int nextMatrixId();

// A trace line captured with the time it arrived, in ms since the log was
// created.
struct TraceLine
{
    qint64 atMs;
    QString text;
};

class TraceLog
{
public:
    TraceLog();
    ~TraceLog();

    // Lines whose message is exactly `message`.
    int count(const QString &message) const;
    // Lines that contain `text`.
    int countContaining(const QString &text) const;
    // Arrival of the n-th (0-based) line whose message is `message`, or -1.
    qint64 timeOf(const QString &message, int n = 0) const;
    QString all() const;
    qint64 now() const { return clock.elapsed(); }

private:
    QElapsedTimer clock;
    mutable std::mutex mutex;
    QList<TraceLine> lines;
};

class MapCfg : public ICfg
{
public:
    QMap<QString, QString> entries;

    QString ReadString(QString key, QString def, bool writeDefault) override;
    int ReadInt(QString key, int def, bool writeDefault) override;
    bool ReadBool(QString key, bool def, bool writeDefault) override;
};

struct Antenna
{
    QString name;
    int externalNumber;
};

// Builds the values of a receiver below `devicePath`: the ANTENNA selection
// (items: the antennas' names, nothing selected), HARDWARESTATUS with the
// items STOPPED and RUNNING, LASTDRIVERERROR, and ANTENNAS with one node per
// antenna holding ExternalNumber, plus MatrixOut.
void buildReceiver(
    const QString &devicePath, const QList<Antenna> &antennas, const QString &hardwareStatus, int matrixOut);
// Adds ANTENNAS/<name>/ExternalNumber only (an antenna the selection does
// not offer).
void addAntennaNode(const QString &devicePath, const Antenna &antenna);
void select(const QString &valuePath, const QString &item);
QString text(const QString &valuePath);

// A matrix-server registered at the test program's CCO under `workstation`
// and the given matrix id, and a client reference to read its state.
class Matrix
{
public:
    explicit Matrix(int matrixId, QStringList extraArgs = {}, QString workstationName = workstation);
    ~Matrix();

    // Starts (again) and waits until the server has registered at the CCO.
    bool start();
    // SIGTERM: the server removes its registration on the way out.
    void stop();
    // SIGKILL: the registration stays behind, pointing at nothing.
    void kill();

    testsupport::ServerProcess &process() { return *server; }
    // connectionData, e.g. "out 3 <- in 2", "" when nothing is connected.
    QString connections();
    // A "key=value" token of statusData, e.g. "calls.connect" or
    // "ranges.out3"; empty when absent.
    QString status(const QString &key);
    int calls(const QString &operation);
    MatrixManager::IF_MMR_c_ptr ref() { return reference.in(); }
    // Waits until connectionData reads `expected`.
    bool waitForConnections(const QString &expected, int timeoutMs = 3000);

private:
    int id;
    QStringList args;
    QString workstationName;
    std::unique_ptr<testsupport::ServerProcess> server;
    MatrixManager::IF_MMR_c_var reference;
};

inline QString matrixPath(int matrixId, const QString &workstationName = workstation)
{
    return QStringLiteral("CCO/LocalSystem/LocalSubSystem/Workstations/%1/AntennaMatrixManager%2/IF_MMR_c")
        .arg(workstationName)
        .arg(matrixId);
}
}
