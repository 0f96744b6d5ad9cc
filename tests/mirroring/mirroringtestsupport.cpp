#include "mirroringtestsupport.h"

#include "orbhandler.h"
#include "serverprocess.h"
#include "tree.h"
#include "value.h"
#include "valuebase.h"
#include "vtclientcenter.h"


namespace mirroringtest
{
QList<int> ensureOrb(int listenPorts, int ccoPort)
{
    static QList<int> ports;
    static bool up = false;
    if (up)
        return ports;
    // Several clients of this process poll the same in-process server; each
    // held poll occupies one connection, and omniORB opens only 5 per server
    // by default.
    QStringList args{QStringLiteral("-ORBmaxGIOPConnectionPerServer"), QStringLiteral("32")};
    for (int i = 0; i < listenPorts; ++i) {
        const int port = testsupport::freeLoopbackPort();
        ports << port;
        args << QStringLiteral("-ORBendPoint") << QStringLiteral("giop:tcp:127.0.0.1:%1").arg(port);
    }
    if (ccoPort)
        args << QStringLiteral("-ORBInitRef") << QStringLiteral("CCO=corbaloc::127.0.0.1:%1/CCO").arg(ccoPort);
    up = CorbaCommon::OrbHandler::Instance().Init(args);
    values::Tree::Create();
    return ports;
}

QString textAt(const QString &path)
{
    values::ValueBase *value = values::Tree::Instance()->FindValue(path);
    return value ? value->GetStringValue() : QStringLiteral("<none>");
}

void putText(const QString &path, const QString &text)
{
    values::Tree *tree = values::Tree::Instance();
    if (values::ValueBase *value = tree->FindValue(path)) {
        value->SetStringValue(text, nullptr);
        return;
    }
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    auto *value = new values::Value<QString>;
    value->SetName(path.mid(slash + 1), nullptr);
    value->SetValue(text, nullptr);
    if (!tree->AddValue(path.left(slash + 1), value))
        delete value;
}

bool nodeExists(const QString &path)
{
    return values::Tree::Instance()->FindNode(path) != nullptr;
}

int clientThreadCount()
{
    return VtClientCenter::NetworkThreadCount();
}

ClientRecorder::ClientRecorder(IVtClient *vtClient)
    : client(vtClient)
{
    client->AddObserver(this);
}

ClientRecorder::~ClientRecorder()
{
    if (client)
        client->DeleteObserver(this);
}

void ClientRecorder::Notify(Observable *, unsigned int code)
{
    events.push_back(ClientEvent{code, QThread::currentThread(), client && client->IsConnected()});
    if (code == 15 || code == 16) {
        QStringList texts;
        for (const QString &path : qAsConst(watchPaths))
            texts << textAt(path);
        textsAtConnect << texts;
    }
    if (code == 18)
        client = nullptr;
}

std::vector<unsigned int> ClientRecorder::codes() const
{
    std::vector<unsigned int> list;
    for (const ClientEvent &event : events)
        list.push_back(event.code);
    return list;
}

int ClientRecorder::count(unsigned int code) const
{
    int n = 0;
    for (const ClientEvent &event : events)
        n += event.code == code ? 1 : 0;
    return n;
}
}
