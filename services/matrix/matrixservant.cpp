#include "matrixservant.h"

namespace services
{
namespace
{
using MMR = MatrixManager::IF_MMR_c;

std::string ports(unsigned in, unsigned out)
{
    return std::to_string(in) + " " + std::to_string(out);
}
}

MatrixServant::MatrixServant(Config config, FaultInjector &faults, CallLog &log)
    : ServedCalls(faults, log)
    , m_config(config)
{
    for (const char *op : {"connect", "disconnect", "reset", "setRanges", "clearRanges"})
        m_calls[op] = 0;
}

std::vector<std::string> MatrixServant::exceptionNames()
{
    std::vector<std::string> names = {"ConnectionFailureException", "DisconnectionFailureException",
                                      "UnknownPortException",       "ConnectedException",
                                      "NotConnectedException",      "RangesNotSupported"};
    for (auto &s : systemExceptionNames())
        names.push_back(s);
    return names;
}

void MatrixServant::raiseUserException(const FaultInjector::Raise &raise)
{
    const std::string &e = raise.exception;
    const char *reason = raise.reason.c_str();
    if (e == "ConnectionFailureException")
        throw MMR::ConnectionFailureException(reason);
    if (e == "DisconnectionFailureException")
        throw MMR::DisconnectionFailureException(reason);
    if (e == "UnknownPortException")
        throw MMR::UnknownPortException(reason);
    if (e == "ConnectedException")
        throw MMR::ConnectedException(reason);
    if (e == "NotConnectedException")
        throw MMR::NotConnectedException(reason);
    if (e == "RangesNotSupported")
        throw MMR::RangesNotSupported(reason);
    throw CORBA::UNKNOWN(0, CORBA::COMPLETED_NO);
}

void MatrixServant::checkInput(unsigned port, const char *what) const
{
    if (port == 0 || port > m_config.inputs)
        throw MMR::UnknownPortException((std::string(what) + " " + std::to_string(port) +
                                         " does not exist (inputs 1.." + std::to_string(m_config.inputs) + ")")
                                            .c_str());
}

void MatrixServant::checkOutput(unsigned port) const
{
    if (port == 0 || port > m_config.outputs)
        throw MMR::UnknownPortException(("output port " + std::to_string(port) + " does not exist (outputs 1.." +
                                         std::to_string(m_config.outputs) + ")")
                                            .c_str());
}

void MatrixServant::connect(CORBA::UShort inputPort, CORBA::UShort outputPort)
{
    serve("connect", "", ports(inputPort, outputPort), [&](std::string &) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_calls["connect"];
        if (!m_config.initialised)
            throw MMR::ConnectionFailureException("the matrix is not initialised");
        checkInput(inputPort, "input port");
        checkOutput(outputPort);
        const auto it = m_connections.find(outputPort);
        if (it != m_connections.end()) {
            if (it->second == inputPort)
                throw MMR::ConnectedException(("input " + std::to_string(inputPort) +
                                               " is already connected to output " + std::to_string(outputPort))
                                                  .c_str());
            throw MMR::ConnectedException(("output " + std::to_string(outputPort) + " is taken by input " +
                                           std::to_string(it->second))
                                              .c_str());
        }
        m_connections[outputPort] = inputPort;
    });
}

void MatrixServant::disconnect(CORBA::UShort inputPort, CORBA::UShort outputPort)
{
    serve("disconnect", "", ports(inputPort, outputPort), [&](std::string &) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_calls["disconnect"];
        if (!m_config.initialised)
            throw MMR::DisconnectionFailureException("the matrix is not initialised");
        checkInput(inputPort, "input port");
        checkOutput(outputPort);
        const auto it = m_connections.find(outputPort);
        if (it == m_connections.end())
            throw MMR::NotConnectedException(("output " + std::to_string(outputPort) + " is not connected").c_str());
        if (it->second != inputPort)
            throw MMR::NotConnectedException(("input " + std::to_string(inputPort) + " is not connected to output " +
                                              std::to_string(outputPort) + " (input " + std::to_string(it->second) +
                                              " is)")
                                                 .c_str());
        m_connections.erase(it);
    });
}

void MatrixServant::reset()
{
    serve("reset", "", "", [&](std::string &) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_calls["reset"];
        m_connections.clear();
        m_ranges.clear();
    });
}

MatrixManager::PortRangeList *MatrixServant::setRanges(CORBA::UShort outputPort,
                                                       const MatrixManager::PortRangeList &ranges)
{
    std::string args = std::to_string(outputPort);
    for (CORBA::ULong i = 0; i < ranges.length(); ++i)
        args += " " + std::to_string(ranges[i].port) + ":" + std::to_string(ranges[i].rangeStart) + ":" +
                std::to_string(ranges[i].rangeStop);
    return serve("setRanges", "", args, [&](std::string &outcome) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_calls["setRanges"];
        if (!m_config.rangesSupported)
            throw MMR::RangesNotSupported("this matrix does not support ranges");
        checkOutput(outputPort);
        std::vector<Range> accepted;
        for (CORBA::ULong i = 0; i < ranges.length(); ++i) {
            checkInput(ranges[i].port, ("input port of range " + std::to_string(i + 1) + ":").c_str());
            accepted.push_back({ranges[i].port, ranges[i].rangeStart, ranges[i].rangeStop});
        }
        if (accepted.empty())
            m_ranges.erase(outputPort);
        else
            m_ranges[outputPort] = accepted;
        outcome = std::to_string(accepted.size()) + " ranges";
        return new MatrixManager::PortRangeList(ranges);
    });
}

void MatrixServant::clearRanges(CORBA::UShort port)
{
    serve("clearRanges", "", std::to_string(port), [&](std::string &) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_calls["clearRanges"];
        if (!m_config.rangesSupported)
            throw MMR::RangesNotSupported("this matrix does not support ranges");
        checkOutput(port);
        m_ranges.erase(port);
    });
}

CORBA::Boolean MatrixServant::init()
{
    return serve("_get_init", "", "", [&](std::string &outcome) -> CORBA::Boolean {
        outcome = m_config.initialised ? "true" : "false";
        return m_config.initialised;
    });
}

char *MatrixServant::connectionData()
{
    return serve("_get_connectionData", "", "", [&](std::string &outcome) {
        const std::string text = connectionText();
        outcome = "\"" + text + "\"";
        return CORBA::string_dup(text.c_str());
    });
}

char *MatrixServant::statusData()
{
    return serve("_get_statusData", "", "", [&](std::string &) { return CORBA::string_dup(statusText().c_str()); });
}

CORBA::UShort MatrixServant::GetMaxInputPorts()
{
    return serve("_get_GetMaxInputPorts", "", "", [&](std::string &outcome) -> CORBA::UShort {
        outcome = std::to_string(m_config.inputs);
        return CORBA::UShort(m_config.inputs);
    });
}

CORBA::UShort MatrixServant::GetMaxOutputPorts()
{
    return serve("_get_GetMaxOutputPorts", "", "", [&](std::string &outcome) -> CORBA::UShort {
        outcome = std::to_string(m_config.outputs);
        return CORBA::UShort(m_config.outputs);
    });
}

CORBA::Boolean MatrixServant::_is_a(const char *repoId)
{
    const std::string id = repoId ? repoId : "";
    return serve("_is_a", id, id, [&](std::string &outcome) -> CORBA::Boolean {
        const bool is = POA_MatrixManager::IF_MMR_c::_is_a(repoId);
        outcome = is ? "true" : "false";
        return is;
    });
}

CORBA::Boolean MatrixServant::_non_existent()
{
    return serve("_non_existent", "", "", [&](std::string &) -> CORBA::Boolean { return false; });
}

std::string MatrixServant::connectionText() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string out;
    for (const auto &c : m_connections)
        out += (out.empty() ? "" : "; ") + std::string("out ") + std::to_string(c.first) + " <- in " +
               std::to_string(c.second);
    return out;
}

std::string MatrixServant::statusText() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string out = "inputs=" + std::to_string(m_config.inputs) + " outputs=" + std::to_string(m_config.outputs) +
                      " init=" + (m_config.initialised ? "true" : "false") +
                      " ranges=" + (m_config.rangesSupported ? "supported" : "unsupported") +
                      " connections=" + std::to_string(m_connections.size());
    for (const char *op : {"connect", "disconnect", "reset", "setRanges", "clearRanges"})
        out += std::string(" calls.") + op + "=" + std::to_string(m_calls.at(op));
    for (const auto &r : m_ranges) {
        out += " ranges.out" + std::to_string(r.first) + "=";
        for (std::size_t i = 0; i < r.second.size(); ++i)
            out += (i ? "," : "") + std::to_string(r.second[i].port) + ":" + std::to_string(r.second[i].start) + ":" +
                   std::to_string(r.second[i].stop);
    }
    return out;
}
}
