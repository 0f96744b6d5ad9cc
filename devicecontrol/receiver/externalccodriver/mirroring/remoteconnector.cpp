#include "remoteconnector.h"

#include "changecodes.h"
#include "tree.h"
#include "vtclientcenter.h"
#include "zrexception.h"

#include <QPointer>

namespace externalCCODriver
{
namespace mirroring
{
namespace
{
const char *const administrationBranch = "ADMINISTRATION";
const char *const driverTreePathValue = "DRIVERVTPATH";
const char *const addressValue = "Ip";
}

void VtClientDeleter::operator()(IVtClient *client) const
{
    if (client)
        VtClientCenter::Instance()->DestroyVtClient(client);
}

RemoteConnector::RemoteConnector(VtClientPtr vtClient, int index, QObject *parent)
    : QObject(parent)
    , client(std::move(vtClient))
    , ipValue(this)
    , receiverIndex(index)
{
}

RemoteConnector::~RemoteConnector()
{
    if (client) {
        client->DeleteObserver(this);
        if (client->IsConnected())
            Q_EMIT remoteDisconnected(receiverIndex);
    }
}

void RemoteConnector::init(const CcoInitParameters &parameters)
{
    initParameters = parameters;
    if (!client)
        return;
    client->AddObserver(this);

    const QString administration = QString::fromLatin1(administrationBranch);
    driverVtPath = createSubTreePath(
        TreePathHelpers::concatTreePaths(administration, QString::fromLatin1(driverTreePathValue)));
    client->AddValueLink(QStringLiteral("%1,/%2/%3")
                             .arg(driverVtPath, administration, QString::fromLatin1(driverTreePathValue))
                             .toLocal8Bit()
                             .constData(),
                         "");
    ipPath = createSubTreePath(TreePathHelpers::concatTreePaths(administration, QString::fromLatin1(addressValue)));
    client->AddValueLink(
        QStringLiteral("%1,/%2/%3").arg(ipPath, administration, QString::fromLatin1(addressValue)).toLocal8Bit().constData(),
        "");
}

void RemoteConnector::Notify(Observable *subject, unsigned int code)
{
    if (client && subject == client.get()) {
        switch (code) {
        case ChangeCode::ClientGoingAway:
            client->DeleteObserver(this);
            // The center is destroying the client already.
            (void)client.release();
            break;
        case ChangeCode::ClientLost:
            Q_EMIT remoteDisconnected(receiverIndex);
            break;
        case ChangeCode::ClientConnected:
        case ChangeCode::ClientReconnected:
            if (client->IsConnected()) {
                if (!initialized)
                    linkMirroredValues();
                else
                    publishProperties();
            }
            break;
        default:
            break;
        }
        return;
    }
    if (ipValue && subject == ipValue.get() && code == ChangeCode::ValueChanged) {
        // A slot of the first signal may delete this object.
        QPointer<RemoteConnector> self(this);
        Q_EMIT remoteDisconnected(receiverIndex);
        if (self)
            publishProperties();
    }
}

bool RemoteConnector::attachValue(values::ValuePtr<values::Value<QString>> &pointer, const QString &path)
{
    pointer.reset();
    values::Tree *tree = values::Tree::Instance();
    if (tree) {
        if (auto *existing = dynamic_cast<values::Value<QString> *>(tree->FindValue(path))) {
            pointer.reset(existing);
            return false;
        }
    }
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString parent = path.left(slash + 1);
    const QString name = path.mid(slash + 1);
    auto *created = new values::Value<QString>;
    created->SetName(name, nullptr);
    bool taken = false;
    if (tree) {
        try {
            taken = tree->AddValue(parent, created);
        } catch (const ZRException &) {
            // The value is kept and used all the same, outside the tree.
        }
    }
    if (!taken)
        untakenValues.emplace_back(created);
    pointer.reset(created);
    return true;
}

void RemoteConnector::linkMirroredValues()
{
    values::ValuePtr<values::Value<QString>> driverPathValue;
    attachValue(driverPathValue, driverVtPath);
    attachValue(ipValue, ipPath);
    const QString driverTreePath = driverPathValue ? driverPathValue->GetValue() : QString();

    for (const QString &name : qAsConst(initParameters.mirroredValues)) {
        const QString localPath = createSubTreePath(name);
        properties.valuePaths.insert(name, localPath);
        const QString remotePath = TreePathHelpers::concatTreePaths(driverTreePath, name);
        if (client)
            client->AddValueLink(QStringLiteral("%1,%2").arg(localPath, remotePath).toLocal8Bit().constData(), "");
    }
    initialized = true;
}

void RemoteConnector::publishProperties()
{
    properties.ip = ipValue ? ipValue->GetValue() : QString();
    properties.index = receiverIndex;
    Q_EMIT remoteConnected(properties);
}
}
}
