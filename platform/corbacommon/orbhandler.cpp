#include "orbhandler.h"

#include "orbhandlerhost.h"

#include <omniORB4/omniORB.h>
#include <omnithread.h>

#include <QByteArray>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace CorbaCommon
{
namespace
{
// omniORB takes a timeout of 0 for "wait forever", which would leave a call
// to a hung server blocked for good; a negative one is no time at all. Such a
// value is refused, with a message that names where it came from, and the
// next source applies.
int positiveTimeout(const QString &source, const QString &text)
{
    bool ok = false;
    const int ms = text.toInt(&ok);
    if (ok && ms > 0)
        return ms;
    qWarning("OrbHandler: %s \"%s\" refused: a timeout must be a positive number of milliseconds", qPrintable(source),
        qPrintable(text));
    return -1;
}

// The timeout given as "-ORBoption value", or -1. A refused one is taken out
// of `args`, so that the ORB does not apply it itself.
int optionTimeout(QStringList &args, const QString &option)
{
    const int i = args.indexOf(option);
    if (i < 0 || i + 1 >= args.size())
        return -1;
    const int ms = positiveTimeout(option, args.at(i + 1));
    if (ms < 0)
        args.erase(args.begin() + i, args.begin() + i + 2);
    return ms;
}

int envTimeout(const char *name)
{
    const QByteArray value = qgetenv(name);
    return value.isEmpty() ? -1 : positiveTimeout(QString::fromLatin1(name), QString::fromLocal8Bit(value));
}

// The corbaloc given for the initial reference "CCO", either as
// "-ORBInitRef CCO=..." or as "-ORBInitRef" "CCO=...".
QString ccoInitRef(const QStringList &args)
{
    for (int i = 0; i < args.size(); ++i) {
        QString a = args.at(i);
        if (a == QLatin1String("-ORBInitRef") && i + 1 < args.size())
            a = args.at(i + 1);
        else if (a.startsWith(QLatin1String("-ORBInitRef ")))
            a = a.mid(12).trimmed();
        else
            continue;
        if (a.startsWith(QLatin1String("CCO=")))
            return a.mid(4);
    }
    return QString();
}

// "corbaloc::HOST:PORT/CCO" with HOST replaced, or empty when `loc` is not
// of that simple form.
QString corbalocForHost(const QString &loc, const QString &host)
{
    static const QLatin1String prefix("corbaloc::");
    if (!loc.startsWith(prefix))
        return QString();
    const int slash = loc.indexOf(QLatin1Char('/'), prefix.size());
    const int colon = loc.lastIndexOf(QLatin1Char(':'), slash < 0 ? -1 : slash);
    if (slash < 0 || colon < prefix.size())
        return QString();
    return prefix + host + loc.mid(colon);
}
}

struct OrbHandler::Private
{
    mutable std::mutex mutex;
    CORBA::ORB_var orb;
    CCO::IF_CCO_c_var cco;
    // A second reference to the same CCO with the short per-try timeout, so
    // that the availability probe never waits for the full call timeout and
    // never changes the timeout of the reference handed out to callers.
    CORBA::Object_var probe;
    int callTimeoutMs = OrbHandlerHost::DefaultCallTimeoutMs;
    int connectTimeoutMs = OrbHandlerHost::DefaultConnectTimeoutMs;
    int probeTimeoutMs = OrbHandlerHost::DefaultConnectTimeoutMs;
    QString ccoLocation;
    // ORB_init keeps pointers into argv for the ORB's lifetime.
    std::vector<QByteArray> argStorage;
    std::vector<char *> argv;

    CORBA::ORB_ptr orbCopy() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return CORBA::ORB::_duplicate(orb.in());
    }

    bool connectOnce(CORBA::ORB_ptr ccoOrb, int perTry);
};

// One try to resolve the initial reference "CCO" and narrow it, bounded by
// `perTry`; on success the reference and its probe replace those held. A
// failure leaves what is held alone: other threads may be calling through it,
// and once the CCO is back it reaches the CCO again. Throws what the ORB
// throws (CORBA::ORB::InvalidName when no reference "CCO" is configured).
bool OrbHandler::Private::connectOnce(CORBA::ORB_ptr ccoOrb, int perTry)
{
    CORBA::Object_var obj = ccoOrb->resolve_initial_references("CCO");
    omniORB::setClientCallTimeout(obj, CORBA::ULong(perTry));
    CCO::IF_CCO_c_var narrowed = CCO::IF_CCO_c::_narrow(obj);
    if (CORBA::is_nil(narrowed))
        return false;
    // The narrowed reference may share the proxy of `obj`; give it the normal
    // call timeout back for the callers' calls.
    int callMs;
    {
        std::lock_guard<std::mutex> lock(mutex);
        callMs = callTimeoutMs;
    }
    omniORB::setClientCallTimeout(narrowed, CORBA::ULong(callMs));
    CORBA::String_var ior = ccoOrb->object_to_string(narrowed);
    CORBA::Object_var newProbe = ccoOrb->string_to_object(ior);
    omniORB::setClientCallTimeout(newProbe, CORBA::ULong(perTry));
    std::lock_guard<std::mutex> lock(mutex);
    if (CORBA::is_nil(orb))
        return false; // shut down meanwhile
    cco = narrowed._retn();
    probe = newProbe._retn();
    probeTimeoutMs = perTry;
    return true;
}

OrbHandler &OrbHandler::Instance()
{
    // Never destroyed: the ORB must not be torn down by static destructors,
    // after omniORB's own statics may already be gone.
    static OrbHandler *instance = new OrbHandler;
    return *instance;
}

OrbHandler::OrbHandler()
    : d(new Private)
{
}

OrbHandler::~OrbHandler()
{
    delete d;
}

bool OrbHandler::Init(const QStringList &orbArgs)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    if (!CORBA::is_nil(d->orb))
        return true;

    QStringList args = orbArgs;
    int callMs = optionTimeout(args, QStringLiteral("-ORBclientCallTimeOutPeriod"));
    if (callMs < 0)
        callMs = envTimeout("VORN_CALL_TIMEOUT_MS");
    if (callMs < 0)
        callMs = OrbHandlerHost::DefaultCallTimeoutMs;
    int connectMs = optionTimeout(args, QStringLiteral("-ORBclientConnectTimeOutPeriod"));
    if (connectMs < 0)
        connectMs = envTimeout("VORN_CONNECT_TIMEOUT_MS");
    if (connectMs < 0)
        connectMs = OrbHandlerHost::DefaultConnectTimeoutMs;

    d->argStorage.clear();
    d->argStorage.push_back(QByteArrayLiteral("vorn"));
    for (const QString &a : args)
        d->argStorage.push_back(a.toLocal8Bit());
    d->argv.clear();
    for (QByteArray &a : d->argStorage)
        d->argv.push_back(a.data());
    d->argv.push_back(nullptr);
    int argc = int(d->argStorage.size());

    try {
        omni_thread::ensure_self self;
        d->orb = CORBA::ORB_init(argc, d->argv.data(), "omniORB4");
        // Both default to 0 in omniORB, which means a call to a hung server
        // or an unroutable address would block its thread forever.
        omniORB::setClientCallTimeout(CORBA::ULong(callMs));
        omniORB::setClientConnectTimeout(CORBA::ULong(connectMs));
    } catch (const CORBA::SystemException &) {
        d->orb = CORBA::ORB::_nil();
        return false;
    } catch (...) {
        d->orb = CORBA::ORB::_nil();
        return false;
    }
    d->callTimeoutMs = callMs;
    d->connectTimeoutMs = connectMs;
    d->ccoLocation = ccoInitRef(args);
    return true;
}

void OrbHandler::Shutdown()
{
    CORBA::ORB_var orb;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        orb = d->orb._retn();
        d->cco = CCO::IF_CCO_c::_nil();
        d->probe = CORBA::Object::_nil();
        d->ccoLocation.clear();
    }
    if (CORBA::is_nil(orb))
        return;
    try {
        omni_thread::ensure_self self;
        // Waits for calls still running in other threads; each is bounded by
        // the call timeout.
        orb->destroy();
    } catch (const CORBA::Exception &) {
        // Destroying an ORB that another thread is destroying already, or
        // one whose shutdown failed, leaves nothing for us to do.
    }
}

CORBA::ORB_ptr OrbHandler::Orb() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->orb.in();
}

bool OrbHandler::orbIsAvailable() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return !CORBA::is_nil(d->orb);
}

bool OrbHandler::CCOIsAvailable() const
{
    CORBA::Object_var probe;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (CORBA::is_nil(d->cco) || CORBA::is_nil(d->probe))
            return false;
        probe = CORBA::Object::_duplicate(d->probe.in());
    }
    try {
        omni_thread::ensure_self self;
        return !probe->_non_existent();
    } catch (const CORBA::SystemException &) {
        return false;
    } catch (...) {
        return false;
    }
}

bool OrbHandler::ConnectToCCO(int tries, int timeoutMs)
{
    CORBA::ORB_var orb = d->orbCopy();
    if (CORBA::is_nil(orb))
        return false;
    const int perTry = timeoutMs > 0 ? timeoutMs : d->connectTimeoutMs;

    omni_thread::ensure_self self;
    for (int attempt = 0; attempt < tries; ++attempt) {
        const auto start = std::chrono::steady_clock::now();
        try {
            if (d->connectOnce(orb, perTry))
                return true;
        } catch (const CORBA::ORB::InvalidName &) {
            // No initial reference "CCO" configured: retrying cannot help.
            break;
        } catch (const CORBA::SystemException &) {
            // Not there, not answering in time, or not a CCO: try again.
        } catch (...) {
        }
        // A refused connection fails at once; give a starting server the
        // rest of this try's time before the next one.
        if (attempt + 1 < tries) {
            const auto slot = std::chrono::milliseconds(perTry);
            const auto spent = std::chrono::steady_clock::now() - start;
            if (spent < slot)
                std::this_thread::sleep_for(slot - spent);
        }
    }
    return false;
}

CCO::_objref_IF_CCO_c *OrbHandler::GetCCO() const
{
    CORBA::ORB_var orb;
    int perTry;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (!CORBA::is_nil(d->cco) || CORBA::is_nil(d->orb))
            return CCO::IF_CCO_c::_duplicate(d->cco.in());
        orb = CORBA::ORB::_duplicate(d->orb.in());
        perTry = d->connectTimeoutMs;
    }
    // No reference yet (nobody connected since the ORB came up). Callers that
    // never connect themselves, such as a watcher that is polling, would
    // otherwise be left without one for good; so the first to find none
    // makes one try of its own.
    try {
        omni_thread::ensure_self self;
        d->connectOnce(orb, perTry);
    } catch (const CORBA::Exception &) {
        // Not there, not a CCO, or no reference "CCO" configured: nil below.
    } catch (...) {
        // Nothing the ORB could throw here may leave the handler.
    }
    std::lock_guard<std::mutex> lock(d->mutex);
    return CCO::IF_CCO_c::_duplicate(d->cco.in());
}

CORBA::Object *OrbHandler::ResolveInterfaceViaCCO(const char *name, const QString &host) const
{
    if (!name)
        return CORBA::Object::_nil();
    CCO::IF_CCO_c_var cco;
    CORBA::ORB_var orb;
    QString location;
    int callMs;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        cco = CCO::IF_CCO_c::_duplicate(d->cco.in());
        orb = CORBA::ORB::_duplicate(d->orb.in());
        location = d->ccoLocation;
        callMs = d->callTimeoutMs;
    }
    try {
        omni_thread::ensure_self self;
        const bool ownHost = host.isEmpty() || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0;
        if (!ownHost && !CORBA::is_nil(orb)) {
            // Another workstation's CCO listens where ours does, on its host.
            const QString remote = corbalocForHost(location, host);
            if (!remote.isEmpty()) {
                CORBA::Object_var obj = orb->string_to_object(remote.toLatin1().constData());
                omniORB::setClientCallTimeout(obj, CORBA::ULong(callMs));
                cco = CCO::IF_CCO_c::_narrow(obj);
            }
        }
        if (CORBA::is_nil(cco))
            return CORBA::Object::_nil();
        return cco->Resolve(name, CCO::RM_Default);
    } catch (const CORBA::UserException &) {
        // NotFound, InvalidName, InvalidType: the name does not resolve.
    } catch (const CORBA::SystemException &) {
        // Transport failure or time-out: the CCO cannot say.
    } catch (...) {
    }
    return CORBA::Object::_nil();
}

bool OrbHandlerHost::Init(const QStringList &orbArgs)
{
    return OrbHandler::Instance().Init(orbArgs);
}

void OrbHandlerHost::Shutdown()
{
    OrbHandler::Instance().Shutdown();
}

CORBA::ORB_ptr OrbHandlerHost::Orb()
{
    return OrbHandler::Instance().Orb();
}
}
