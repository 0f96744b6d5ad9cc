// cco-tool: a small command-line client of the CCO and of the matrix
// managers registered there, for trying the servers by hand and in scripts.
#include "externalccodriver_version.h"

#include <cco.hh>
#include <matrixmanager.hh>

#include <omniORB4/omniORB.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{
const char *const usage =
    "usage: cco-tool [--cco CORBALOC] [--timeout MS] COMMAND [ARGS]\n"
    "       cco-tool --help | --version\n"
    "Talks to the CCO at CORBALOC (default corbaloc::127.0.0.1:2809/CCO).\n"
    "  names                         system, subsystem and workstation names\n"
    "  subsystems                    GetSubSystems\n"
    "  list NAME                     ResolveValues: one string per line\n"
    "  register NAME [VALUE...]      RegisterValues\n"
    "  unregister NAME               UnregisterValues\n"
    "  resolve NAME                  Resolve: the object's interface and IOR\n"
    "  matrix NAME state             connectionData and statusData of the matrix manager\n"
    "                                registered under NAME\n"
    "  matrix NAME connect IN OUT    connect input IN to output OUT\n"
    "  matrix NAME disconnect IN OUT\n"
    "  matrix NAME reset\n"
    "Exit code 0 on success, 1 when the call failed (reason on stderr), 2 for bad usage.\n";

int bad(const char *why)
{
    std::fprintf(stderr, "cco-tool: %s (see --help)\n", why);
    return 2;
}

bool port(const char *text, CORBA::UShort &out)
{
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < 0 || v > 65535)
        return false;
    out = CORBA::UShort(v);
    return true;
}

int matrix(CORBA::ORB_ptr, CCO::IF_CCO_c_ptr cco, const std::vector<std::string> &args)
{
    if (args.size() < 2)
        return bad("matrix NAME COMMAND");
    CORBA::Object_var obj = cco->Resolve(args[0].c_str(), CCO::RM_Default);
    MatrixManager::IF_MMR_c_var mmr = MatrixManager::IF_MMR_c::_narrow(obj);
    if (CORBA::is_nil(mmr)) {
        std::fprintf(stderr, "cco-tool: %s is not a matrix manager\n", args[0].c_str());
        return 1;
    }
    const std::string &op = args[1];
    if (op == "state" && args.size() == 2) {
        CORBA::String_var connections = mmr->connectionData();
        CORBA::String_var status = mmr->statusData();
        std::printf("connections: %s\nstatus: %s\n", connections.in(), status.in());
        return 0;
    }
    if (op == "reset" && args.size() == 2) {
        mmr->reset();
        return 0;
    }
    CORBA::UShort in = 0, out = 0;
    if ((op == "connect" || op == "disconnect") && args.size() == 4 && port(args[2].c_str(), in) &&
        port(args[3].c_str(), out)) {
        try {
            if (op == "connect")
                mmr->connect(in, out);
            else
                mmr->disconnect(in, out);
        } catch (const MatrixManager::IF_MMR_c::ConnectedException &e) {
            std::fprintf(stderr, "cco-tool: ConnectedException: %s\n", e.reason.in());
            return 1;
        } catch (const MatrixManager::IF_MMR_c::NotConnectedException &e) {
            std::fprintf(stderr, "cco-tool: NotConnectedException: %s\n", e.reason.in());
            return 1;
        } catch (const MatrixManager::IF_MMR_c::UnknownPortException &e) {
            std::fprintf(stderr, "cco-tool: UnknownPortException: %s\n", e.reason.in());
            return 1;
        } catch (const MatrixManager::IF_MMR_c::ConnectionFailureException &e) {
            std::fprintf(stderr, "cco-tool: ConnectionFailureException: %s\n", e.reason.in());
            return 1;
        } catch (const MatrixManager::IF_MMR_c::DisconnectionFailureException &e) {
            std::fprintf(stderr, "cco-tool: DisconnectionFailureException: %s\n", e.reason.in());
            return 1;
        }
        return 0;
    }
    return bad("unknown matrix command");
}

int run(CORBA::ORB_ptr orb, CCO::IF_CCO_c_ptr cco, const std::string &command, const std::vector<std::string> &args)
{
    if (command == "names" && args.empty()) {
        for (auto get : {&CCO::_objref_IF_CCO_c::GetSystemName, &CCO::_objref_IF_CCO_c::GetSubSystemName,
                         &CCO::_objref_IF_CCO_c::GetWorkstationName}) {
            try {
                CORBA::String_var name = (cco->*get)();
                std::printf("%s\n", name.in());
            } catch (const CCO::IF_CCO_c::NameNotAvailable &) {
                std::printf("(not available)\n");
            }
        }
        return 0;
    }
    if (command == "subsystems" && args.empty()) {
        CCO::StringList_var list = cco->GetSubSystems();
        for (CORBA::ULong i = 0; i < list->length(); ++i)
            std::printf("%s\n", list[i].in());
        return 0;
    }
    if (command == "list" && args.size() == 1) {
        CCO::StringList_var list = cco->ResolveValues(args[0].c_str(), CCO::RM_Default);
        for (CORBA::ULong i = 0; i < list->length(); ++i)
            std::printf("%s\n", list[i].in());
        return 0;
    }
    if (command == "register" && !args.empty()) {
        CCO::StringList values;
        values.length(CORBA::ULong(args.size() - 1));
        for (CORBA::ULong i = 0; i < values.length(); ++i)
            values[i] = CORBA::string_dup(args[i + 1].c_str());
        cco->RegisterValues(args[0].c_str(), values, CCO::RT_Single);
        return 0;
    }
    if (command == "unregister" && args.size() == 1) {
        cco->UnregisterValues(args[0].c_str(), CCO::RT_Single);
        return 0;
    }
    if (command == "resolve" && args.size() == 1) {
        CORBA::Object_var obj = cco->Resolve(args[0].c_str(), CCO::RM_Default);
        const char *type = obj->_is_a("IDL:MatrixManager/IF_MMR_c:1.0") ? "MatrixManager::IF_MMR_c"
                           : obj->_is_a("IDL:CCO/IF_CCO_c:1.0")          ? "CCO::IF_CCO_c"
                                                                          : "object";
        CORBA::String_var ior = orb->object_to_string(obj);
        std::printf("%s %s\n", type, ior.in());
        return 0;
    }
    if (command == "matrix")
        return matrix(orb, cco, args);
    return bad(("unknown command or wrong arguments: " + command).c_str());
}
}

int main(int argc, char *argv[])
{
    std::string location = "corbaloc::127.0.0.1:2809/CCO";
    int timeoutMs = 3000;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const std::string opt = argv[i];
        if (opt == "-h" || opt == "--help") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (opt == "--version") {
            std::printf("cco-tool %s\n", EXTERNALCCODRIVER_VERSION);
            return 0;
        }
        if (opt == "--cco" && i + 1 < argc) {
            location = argv[++i];
        } else if (opt == "--timeout" && i + 1 < argc) {
            timeoutMs = std::atoi(argv[++i]);
            if (timeoutMs <= 0)
                return bad("invalid --timeout");
        } else {
            return bad(("unknown option " + opt).c_str());
        }
    }
    if (i >= argc)
        return bad("command missing");
    const std::string command = argv[i++];
    std::vector<std::string> args(argv + i, argv + argc);

    int orbArgc = 1;
    char *orbArgv[] = {argv[0], nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, orbArgv, "omniORB4");
    omniORB::setClientCallTimeout(CORBA::ULong(timeoutMs));
    omniORB::setClientConnectTimeout(CORBA::ULong(std::min(timeoutMs, 1000)));
    int result = 1;
    try {
        CORBA::Object_var obj = orb->string_to_object(location.c_str());
        CCO::IF_CCO_c_var cco = CCO::IF_CCO_c::_narrow(obj);
        if (CORBA::is_nil(cco)) {
            std::fprintf(stderr, "cco-tool: %s is not a CCO\n", location.c_str());
        } else {
            result = run(orb, cco, command, args);
        }
    } catch (const CosNaming::NamingContext::NotFound &) {
        std::fprintf(stderr, "cco-tool: NotFound\n");
    } catch (const CORBA::UserException &e) {
        std::fprintf(stderr, "cco-tool: %s\n", e._name());
    } catch (const CORBA::SystemException &e) {
        std::fprintf(stderr, "cco-tool: %s (minor 0x%lx)\n", e._name(), static_cast<unsigned long>(e.minor()));
    }
    orb->destroy();
    return result;
}
