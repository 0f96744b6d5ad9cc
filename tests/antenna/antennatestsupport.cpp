#include "antennatestsupport.h"

#include "errorhandler.h"
#include "orbhandler.h"
#include "tree.h"
#include "value.h"
#include "valueselection.h"
#include "vornos.h"
#include "waituntil.h"

#include <gtest/gtest.h>

namespace antennatest
{
const char *const workstation = "WS7";

namespace
{
std::unique_ptr<testsupport::ServerProcess> theCco;
CCO::IF_CCO_c_var theCcoRef;
int lastMatrixId = 0;

// The ORB and the CCO are process-wide, so they come up once for all tests.
// The call timeout is short so that tests of hung servers stay short.
class AntennaEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        theCco = testsupport::startCcoServer();
        ASSERT_TRUE(theCco->ready()) << theCco->errorText().toStdString();
        auto &orb = CorbaCommon::OrbHandler::Instance();
        ASSERT_TRUE(orb.Init({QStringLiteral("-ORBInitRef"), QStringLiteral("CCO=") + theCco->corbaloc(),
            QStringLiteral("-ORBclientCallTimeOutPeriod"), QStringLiteral("1500")}));
        ASSERT_TRUE(orb.ConnectToCCO(2, 500));
        theCcoRef = orb.GetCCO();
        values::Tree::Create();
        VornOS::SetComputerNameOverride(std::wstring(workstation, workstation + qstrlen(workstation)));
    }

    void TearDown() override
    {
        VornOS::SetComputerNameOverride(std::wstring());
        values::Tree::Destroy();
        theCcoRef = CCO::IF_CCO_c::_nil();
        theCco.reset();
    }
};

const auto *const environment = ::testing::AddGlobalTestEnvironment(new AntennaEnvironment);

// The message part of a trace line: what follows "file:line " or, for the
// format-style traces, the thread column.
bool messageIs(const QString &line, const QString &message)
{
    return line.endsWith(QLatin1Char(' ') + message);
}

template <typename T> T *addValue(const QString &parent, const QString &name)
{
    auto *value = new T;
    value->SetName(name, nullptr);
    if (!values::Tree::Instance()->AddValue(parent, value)) {
        delete value;
        ADD_FAILURE() << "cannot add " << qPrintable(parent) << "/" << qPrintable(name);
        return nullptr;
    }
    return value;
}
}

testsupport::ServerProcess &ccoServer()
{
    return *theCco;
}

CCO::IF_CCO_c_ptr cco()
{
    return theCcoRef.in();
}

int nextMatrixId()
{
    return ++lastMatrixId;
}

TraceLog::TraceLog()
{
    clock.start();
    ErrorHandler::Instance()->SetTraceFilter(ErrorHandler::TraceDriver);
    ErrorHandler::Instance()->SetTraceCapture([this](const QString &line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.append(TraceLine {clock.elapsed(), line});
    });
}

TraceLog::~TraceLog()
{
    ErrorHandler::Instance()->SetTraceCapture({});
    ErrorHandler::Instance()->SetTraceFilter(0);
}

int TraceLog::count(const QString &message) const
{
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (const TraceLine &line : lines)
        n += messageIs(line.text, message) ? 1 : 0;
    return n;
}

int TraceLog::countContaining(const QString &text) const
{
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (const TraceLine &line : lines)
        n += line.text.contains(text) ? 1 : 0;
    return n;
}

qint64 TraceLog::timeOf(const QString &message, int n) const
{
    std::lock_guard<std::mutex> lock(mutex);
    for (const TraceLine &line : lines) {
        if (messageIs(line.text, message) && n-- == 0)
            return line.atMs;
    }
    return -1;
}

QString TraceLog::all() const
{
    std::lock_guard<std::mutex> lock(mutex);
    QStringList texts;
    for (const TraceLine &line : lines)
        texts << line.text;
    return texts.join(QLatin1Char('\n'));
}

QString MapCfg::ReadString(QString key, QString def, bool)
{
    return entries.value(key, def);
}

int MapCfg::ReadInt(QString key, int def, bool)
{
    bool ok = false;
    const int number = entries.value(key).toInt(&ok);
    return ok ? number : def;
}

bool MapCfg::ReadBool(QString key, bool def, bool)
{
    if (!entries.contains(key))
        return def;
    return entries.value(key) == QLatin1String("true");
}

void buildReceiver(
    const QString &devicePath, const QList<Antenna> &antennas, const QString &hardwareStatus, int matrixOut)
{
    QStringList names;
    for (const Antenna &antenna : antennas)
        names << antenna.name;
    // The antenna nodes come first: the table is read when the driver
    // starts, and the selection is what the host offers the user.
    for (const Antenna &antenna : antennas)
        addAntennaNode(devicePath, antenna);
    if (auto *out = addValue<values::Value<int>>(devicePath + QStringLiteral("/ANTENNAS"), QStringLiteral("MatrixOut")))
        out->SetValue(matrixOut, nullptr);
    if (auto *antenna = addValue<values::ValueSelection>(devicePath, QStringLiteral("ANTENNA")))
        antenna->SetItems(names, nullptr);
    if (auto *status = addValue<values::ValueSelection>(devicePath, QStringLiteral("HARDWARESTATUS"))) {
        status->SetItems({QStringLiteral("STOPPED"), QStringLiteral("RUNNING")}, nullptr);
        status->SetSelectedItem(hardwareStatus, nullptr);
    }
    addValue<values::Value<QString>>(devicePath, QStringLiteral("LASTDRIVERERROR"));
}

void addAntennaNode(const QString &devicePath, const Antenna &antenna)
{
    if (auto *number = addValue<values::Value<int>>(
            devicePath + QStringLiteral("/ANTENNAS/") + antenna.name, QStringLiteral("ExternalNumber")))
        number->SetValue(antenna.externalNumber, nullptr);
}

void select(const QString &valuePath, const QString &item)
{
    auto *selection = dynamic_cast<values::ValueSelection *>(values::Tree::Instance()->FindValue(valuePath));
    ASSERT_TRUE(selection) << qPrintable(valuePath);
    ASSERT_TRUE(selection->SetSelectedItem(item, nullptr)) << qPrintable(valuePath) << " " << qPrintable(item);
}

QString text(const QString &valuePath)
{
    values::ValueBase *value = values::Tree::Instance()->FindValue(valuePath);
    return value ? value->GetStringValue() : QStringLiteral("<absent>");
}

Matrix::Matrix(int matrixId, QStringList extraArgs, QString workstationName)
    : id(matrixId)
    , args(std::move(extraArgs))
    , workstationName(std::move(workstationName))
{
}

Matrix::~Matrix() = default;

bool Matrix::start()
{
    server = testsupport::startMatrixServer(ccoServer().corbaloc(),
        QStringList {QStringLiteral("--workstation"), workstationName, QStringLiteral("--id"), QString::number(id),
            QStringLiteral("--outputs"), QStringLiteral("8"), QStringLiteral("--inputs"), QStringLiteral("16")}
            + args);
    if (!server->ready()) {
        ADD_FAILURE() << server->errorText().toStdString();
        return false;
    }
    if (server->waitForLine(QStringLiteral("REGISTERED"), 5000) < 0) {
        ADD_FAILURE() << "matrix-server did not register at the CCO";
        return false;
    }
    CORBA::Object_var object
        = CorbaCommon::OrbHandler::Instance().Orb()->string_to_object(server->corbaloc().toLatin1().constData());
    reference = MatrixManager::IF_MMR_c::_narrow(object);
    return !CORBA::is_nil(reference);
}

void Matrix::stop()
{
    if (server)
        server->stop();
}

void Matrix::kill()
{
    if (server)
        server->kill();
}

QString Matrix::connections()
{
    CORBA::String_var data = reference->connectionData();
    return QString::fromLatin1(data.in());
}

QString Matrix::status(const QString &key)
{
    CORBA::String_var data = reference->statusData();
    const QString prefix = key + QLatin1Char('=');
    for (const QString &token : QString::fromLatin1(data.in()).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (token.startsWith(prefix))
            return token.mid(prefix.size());
    }
    return QString();
}

int Matrix::calls(const QString &operation)
{
    return status(QStringLiteral("calls.") + operation).toInt();
}

bool Matrix::waitForConnections(const QString &expected, int timeoutMs)
{
    return testsupport::waitUntil([&] { return connections() == expected; }, timeoutMs, 20);
}
}
