// What only crafted GIOP bytes can show: enumeration ordinals out of range
// are rejected with MARSHAL while the message is read, exception replies
// carry their repository id, and a reply with a user exception that the
// operation does not declare reaches the caller as UNKNOWN.
#include "clientorb.h"
#include "serverprocess.h"
#include "waituntil.h"

#include <cco.hh>
#include <matrixmanager.hh>

#include <omniORB4/IIOP.h>
#include <omniORB4/minorCode.h>
#include <omniORB4/omniIOR.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <thread>

using namespace servicetests;

namespace
{
// Big-endian CDR, aligned from the start of the GIOP message.
class CdrOut
{
public:
    void align(std::size_t n)
    {
        while (bytes.size() % n)
            bytes.push_back(0);
    }
    void octet(std::uint8_t v) { bytes.push_back(v); }
    void ushort(std::uint16_t v)
    {
        align(2);
        bytes.push_back(std::uint8_t(v >> 8));
        bytes.push_back(std::uint8_t(v));
    }
    void ulong(std::uint32_t v)
    {
        align(4);
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(std::uint8_t(v >> shift));
    }
    void string(const std::string &s)
    {
        ulong(std::uint32_t(s.size() + 1));
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.push_back(0);
    }
    void octets(const std::string &s)
    {
        ulong(std::uint32_t(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
    }

    std::vector<std::uint8_t> bytes;
};

class CdrIn
{
public:
    CdrIn(std::vector<std::uint8_t> data, bool little)
        : bytes(std::move(data))
        , little(little)
    {
    }
    void align(std::size_t n) { pos = (pos + n - 1) / n * n; }
    std::uint32_t ulong()
    {
        align(4);
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t b = at(pos + (little ? 3 - i : i));
            v = (v << 8) | b;
        }
        pos += 4;
        return v;
    }
    std::string string()
    {
        const std::uint32_t n = ulong();
        std::string s;
        for (std::uint32_t i = 0; i + 1 < n; ++i)
            s.push_back(char(at(pos + i)));
        pos += n;
        return s;
    }
    void skip(std::size_t n) { pos += n; }
    std::uint8_t at(std::size_t i) const { return i < bytes.size() ? bytes[i] : 0; }

    std::vector<std::uint8_t> bytes;
    bool little;
    std::size_t pos = 0;
};

// GIOP 1.2 message: header, then the given contents (already aligned from
// offset 12).
std::vector<std::uint8_t> finish(CdrOut &out, std::uint8_t type)
{
    const std::uint32_t size = std::uint32_t(out.bytes.size() - 12);
    const std::uint8_t header[12] = {'G', 'I', 'O', 'P', 1, 2, 0, type, std::uint8_t(size >> 24),
                                     std::uint8_t(size >> 16), std::uint8_t(size >> 8), std::uint8_t(size)};
    std::memcpy(out.bytes.data(), header, 12);
    return out.bytes;
}

// A GIOP 1.2 request up to its (8-aligned) body; `body` appends the arguments.
std::vector<std::uint8_t> request(std::uint32_t id, const std::string &key, const std::string &op, bool oneway,
                                  const std::function<void(CdrOut &)> &body)
{
    CdrOut out;
    out.bytes.resize(12);
    out.ulong(id);
    out.octet(oneway ? 0 : 3);
    out.octet(0);
    out.octet(0);
    out.octet(0);
    out.ushort(0); // KeyAddr
    out.octets(key);
    out.string(op);
    out.ulong(0); // no service contexts
    out.align(8);
    body(out);
    return finish(out, 0);
}

bool writeAll(int fd, const std::vector<std::uint8_t> &data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

bool readExactly(int fd, std::uint8_t *buf, std::size_t n, int timeoutMs)
{
    std::size_t done = 0;
    while (done < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return false;
        const ssize_t got = ::read(fd, buf + done, n - done);
        if (got <= 0)
            return false;
        done += std::size_t(got);
    }
    return true;
}

// One GIOP message; `little` tells its byte order. Empty on failure.
std::vector<std::uint8_t> readMessage(int fd, bool &little, int timeoutMs = 3000)
{
    std::vector<std::uint8_t> msg(12);
    if (!readExactly(fd, msg.data(), 12, timeoutMs) || std::memcmp(msg.data(), "GIOP", 4) != 0)
        return {};
    little = msg[6] & 1;
    CdrIn header(std::vector<std::uint8_t>(msg.begin() + 8, msg.end()), little);
    const std::uint32_t size = header.ulong();
    msg.resize(12 + size);
    if (!readExactly(fd, msg.data() + 12, size, timeoutMs))
        return {};
    return msg;
}

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(std::uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct Reply
{
    std::uint32_t status = 99; // 0 no exception, 1 user, 2 system
    std::string repoId;
    std::uint32_t minor = 0;
};

Reply parseReply(const std::vector<std::uint8_t> &msg, bool little)
{
    Reply r;
    if (msg.size() < 12 || msg[7] != 1)
        return r;
    CdrIn in(msg, little);
    in.skip(12);
    in.ulong(); // request id
    r.status = in.ulong();
    const std::uint32_t contexts = in.ulong();
    for (std::uint32_t i = 0; i < contexts; ++i) {
        in.ulong();
        in.skip(in.ulong());
    }
    in.align(8);
    if (r.status == 1 || r.status == 2)
        r.repoId = in.string();
    if (r.status == 2)
        r.minor = in.ulong();
    return r;
}

class RawCcoTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        server = testsupport::startCcoServer();
        ASSERT_TRUE(server->ready()) << server->errorText().toStdString();
        fd = connectTo(server->port());
        ASSERT_GE(fd, 0);
    }
    void TearDown() override
    {
        if (fd >= 0)
            ::close(fd);
    }

    Reply call(const std::string &op, const std::function<void(CdrOut &)> &body)
    {
        EXPECT_TRUE(writeAll(fd, request(++id, "CCO", op, false, body)));
        bool little = false;
        const auto reply = readMessage(fd, little);
        return parseReply(reply, little);
    }

    std::unique_ptr<testsupport::ServerProcess> server;
    int fd = -1;
    std::uint32_t id = 0;
};

const char *const marshal = "IDL:omg.org/CORBA/MARSHAL:1.0";
}

TEST_F(RawCcoTest, ResolveModeBeyondTheLastOrdinalIsMarshal)
{
    for (std::uint32_t mode : {0u, 3u}) {
        const Reply ok = call("ResolveValues", [&](CdrOut &o) {
            o.string("CCO");
            o.ulong(mode);
        });
        EXPECT_EQ(ok.status, 0u) << mode;
    }
    for (std::uint32_t mode : {4u, 0xffffffffu}) {
        const Reply bad = call("ResolveValues", [&](CdrOut &o) {
            o.string("CCO");
            o.ulong(mode);
        });
        EXPECT_EQ(bad.status, 2u);
        EXPECT_EQ(bad.repoId, marshal);
        EXPECT_EQ(bad.minor, omni::MARSHAL_InvalidEnumValue);
    }
    // The servant never saw the bad requests: once the log line of a later
    // call arrived, all earlier ones have.
    call("ResolveValues", [&](CdrOut &o) {
        o.string("CCO/last");
        o.ulong(0);
    });
    EXPECT_GE(server->waitForLine("CALL ResolveValues CCO/last", 2000), 0);
    EXPECT_EQ(server->countLines("CALL ResolveValues CCO "), 2);
}

TEST_F(RawCcoTest, RedundancyTypeBeyondTheLastOrdinalIsMarshal)
{
    auto registerValues = [&](std::uint32_t type) {
        return call("RegisterValues", [&](CdrOut &o) {
            o.string("Dev/1");
            o.ulong(0); // an empty StringList
            o.ulong(type);
        });
    };
    const Reply notSupported = registerValues(2);
    EXPECT_EQ(notSupported.status, 1u);
    EXPECT_EQ(notSupported.repoId, "IDL:CCO/IF_CCO_c_Naming/RedundancyTypeNotSupported:1.0");
    const Reply bad = registerValues(3);
    EXPECT_EQ(bad.status, 2u);
    EXPECT_EQ(bad.repoId, marshal);
    EXPECT_EQ(registerValues(0).status, 0u);
    EXPECT_GE(server->waitForLine("CALL RegisterValues Dev/1 [] -> ok", 1000), 0);
}

TEST_F(RawCcoTest, NotificationKindBeyondTheLastOrdinalIsMarshal)
{
    auto registerCallback = [&](std::uint32_t kind) {
        return call("register_callback", [&](CdrOut &o) {
            o.string(""); // nil object reference: no type id, no profiles
            o.ulong(0);
            o.ulong(1);
            o.ulong(kind);
            o.string("Dev");
        });
    };
    // A valid entry gets as far as the servant, which refuses the nil callback.
    const Reply decoded = registerCallback(4);
    EXPECT_EQ(decoded.status, 2u);
    EXPECT_EQ(decoded.repoId, "IDL:omg.org/CORBA/BAD_PARAM:1.0");
    const Reply bad = registerCallback(5);
    EXPECT_EQ(bad.status, 2u);
    EXPECT_EQ(bad.repoId, marshal);
    EXPECT_EQ(bad.minor, omni::MARSHAL_InvalidEnumValue);
}

namespace
{
class Recorder : public POA_CCO::Callback
{
public:
    void notify(CCO::NotificationKind kind, const char *) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        kinds.push_back(kind);
    }
    std::vector<CCO::NotificationKind> seen()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return kinds;
    }

private:
    std::mutex mutex;
    std::vector<CCO::NotificationKind> kinds;
};
}

TEST(RawCallback, OnewayNotifyWithABadKindIsDroppedWithoutReply)
{
    CORBA::Object_var poaObj = clientOrb()->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(poaObj);
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    Recorder recorder;
    PortableServer::ObjectId_var oid = poa->activate_object(&recorder);
    CORBA::Object_var ref = poa->id_to_reference(oid);

    // Where this process listens and under which key, from the reference.
    omniIOR *ior = ref->_PR_getobj()->_getIOR();
    IIOP::ProfileBody body;
    for (CORBA::ULong i = 0; i < ior->iopProfiles().length(); ++i) {
        if (ior->iopProfiles()[i].tag == IOP::TAG_INTERNET_IOP)
            IIOP::unmarshalProfile(ior->iopProfiles()[i], body);
    }
    ior->release();
    const std::string key(reinterpret_cast<const char *>(body.object_key.get_buffer()), body.object_key.length());
    const int fd = connectTo(body.address.port);
    ASSERT_GE(fd, 0);

    for (std::uint32_t kind : {5u, 4u, 7u, 0u}) {
        ASSERT_TRUE(writeAll(fd, request(kind + 1, key, "notify", true, [&](CdrOut &o) {
                        o.ulong(kind);
                        o.string("x");
                    })));
    }
    EXPECT_TRUE(testsupport::waitUntil([&] { return recorder.seen().size() >= 2; }, 2000));
    EXPECT_EQ(recorder.seen(), (std::vector<CCO::NotificationKind>{CCO::NK_Shutdown, CCO::NK_Registered}));
    // Oneway: nothing comes back, for the good calls nor for the bad ones.
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 100), 0);
    ::close(fd);
    poa->deactivate_object(oid);
}

namespace
{
// A server that answers every request with the reply body the test gives:
// what no IDL-built servant can be made to send.
class FakeServer
{
public:
    // `reply(op)` returns the reply status and writes its body.
    using Replier = std::function<std::uint32_t(const std::string &op, CdrOut &body)>;

    explicit FakeServer(Replier replier)
        : m_replier(std::move(replier))
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(m_listen, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::listen(m_listen, 4);
        ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&addr), &len);
        port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~FakeServer()
    {
        ::shutdown(m_listen, SHUT_RDWR);
        m_stop = true;
        m_thread.join();
        ::close(m_listen);
    }

    // GIOP 1.2, so that the client speaks the version parsed here.
    std::string corbaloc(const char *key) const
    {
        return "corbaloc::1.2@127.0.0.1:" + std::to_string(port) + "/" + key;
    }

    int port = 0;

private:
    void serve()
    {
        while (!m_stop) {
            pollfd p{m_listen, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int fd = ::accept(m_listen, nullptr, nullptr);
            if (fd < 0)
                continue;
            while (!m_stop) {
                pollfd readable{fd, POLLIN, 0};
                if (::poll(&readable, 1, 50) == 0)
                    continue;
                bool little = false;
                const auto msg = readMessage(fd, little, 2000);
                if (msg.empty())
                    break;
                CdrIn in(msg, little);
                in.skip(12);
                const std::uint32_t id = in.ulong();
                if (msg[7] == 3) {
                    // The ORB asks where a corbaloc object is first: here.
                    CdrOut locate;
                    locate.bytes.resize(12);
                    locate.ulong(id);
                    locate.ulong(1); // OBJECT_HERE
                    writeAll(fd, finish(locate, 4));
                    continue;
                }
                if (msg[7] != 0)
                    break;
                in.skip(4);
                in.skip(2); // KeyAddr
                in.align(4);
                in.skip(in.ulong());
                const std::string op = in.string();

                CdrOut out;
                out.bytes.resize(12);
                out.ulong(id);
                CdrOut body;
                const std::uint32_t status = m_replier(op, body);
                out.ulong(status);
                out.ulong(0);
                out.align(8);
                out.bytes.insert(out.bytes.end(), body.bytes.begin(), body.bytes.end());
                writeAll(fd, finish(out, 1));
            }
            ::close(fd);
        }
    }

    Replier m_replier;
    int m_listen = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
}

TEST(RawReplies, UserExceptionsArriveAsDeclaredOrAsUnknown)
{
    std::string repoId = "IDL:CCO/IF_CCO_c_Naming/InvalidType:1.0";
    FakeServer fake([&](const std::string &, CdrOut &body) {
        body.string(repoId);
        return 1u;
    });
    CORBA::Object_var obj = clientOrb()->string_to_object(fake.corbaloc("CCO").c_str());
    CCO::IF_CCO_c_var cco = CCO::IF_CCO_c::_unchecked_narrow(obj);

    EXPECT_THROW(CORBA::Object_var(cco->Resolve("x", CCO::RM_Default)), CCO::IF_CCO_c_Naming::InvalidType);
    EXPECT_THROW(CCO::StringList_var(cco->ResolveValues("x", CCO::RM_Default)), CORBA::UNKNOWN);
    repoId = "IDL:Somebody/Else:1.0";
    EXPECT_THROW(CORBA::Object_var(cco->Resolve("x", CCO::RM_Default)), CORBA::UNKNOWN);
}

TEST(RawReplies, NotFoundCarriesItsMembersAndRejectsABadReason)
{
    std::uint32_t why = 0;
    FakeServer fake([&](const std::string &, CdrOut &body) {
        body.string("IDL:omg.org/CosNaming/NamingContext/NotFound:1.0");
        body.ulong(why);
        body.ulong(1);
        body.string("Receiver");
        body.string("");
        return 1u;
    });
    CORBA::Object_var obj = clientOrb()->string_to_object(fake.corbaloc("CCO").c_str());
    CCO::IF_CCO_c_var cco = CCO::IF_CCO_c::_unchecked_narrow(obj);
    try {
        CCO::StringList_var list = cco->ResolveValues("x", CCO::RM_Default);
        FAIL() << "NotFound expected";
    } catch (const CosNaming::NamingContext::NotFound &e) {
        EXPECT_EQ(e.why, CosNaming::NamingContext::missing_node);
        ASSERT_EQ(e.rest_of_name.length(), 1u);
        EXPECT_STREQ(e.rest_of_name[0].id, "Receiver");
    }
    why = 3; // NotFoundReason has three enumerators
    EXPECT_THROW(CCO::StringList_var(cco->ResolveValues("x", CCO::RM_Default)), CORBA::MARSHAL);
}

TEST(RawReplies, MatrixExceptionsCarryTheirReasonAlsoWhenEmpty)
{
    std::string reason;
    FakeServer fake([&](const std::string &op, CdrOut &body) {
        if (op == "setRanges") {
            body.ulong(0); // an empty PortRangeList
            return 0u;
        }
        body.string("IDL:MatrixManager/IF_MMR_c/ConnectedException:1.0");
        body.string(reason);
        return 1u;
    });
    CORBA::Object_var obj = clientOrb()->string_to_object(fake.corbaloc("MatrixManager").c_str());
    MatrixManager::IF_MMR_c_var mmr = MatrixManager::IF_MMR_c::_unchecked_narrow(obj);
    for (const char *text : {"", "output 2 is taken by input 5"}) {
        reason = text;
        try {
            mmr->connect(5, 2);
            FAIL() << "ConnectedException expected";
        } catch (const MatrixManager::IF_MMR_c::ConnectedException &e) {
            EXPECT_STREQ(e.reason.in(), text);
        }
    }
    // Declared by connect only.
    EXPECT_THROW(mmr->disconnect(5, 2), CORBA::UNKNOWN);
    MatrixManager::PortRangeList_var ranges = mmr->setRanges(2, MatrixManager::PortRangeList());
    EXPECT_EQ(ranges->length(), 0u);
}
