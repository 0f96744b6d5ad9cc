// The antenna matrix manager: inputs (antennas) switched onto outputs
// (receivers), ports numbered from 1, 0 meaning "no port".
//
// An output carries at most one input; one input may feed several outputs.
// connect raises ConnectedException when the output already carries an
// input (the same one or another: a real matrix does not switch an occupied
// output away silently), UnknownPortException for port 0 or beyond the
// count, ConnectionFailureException while the matrix is not initialised.
// disconnect raises NotConnectedException unless that input is on that
// output. Ranges are kept per output and replaced by each setRanges;
// clearRanges takes an output port. reset drops connections and ranges.
//
// connectionData: "out 3 <- in 2; out 4 <- in 7" in output order, "" when
// nothing is connected.
// statusData: space-separated key=value tokens:
//   inputs=16 outputs=8 init=true ranges=supported connections=2
//   calls.connect=3 calls.disconnect=1 calls.reset=0 calls.setRanges=1
//   calls.clearRanges=0 [ranges.out3=5:100:200,6:-5:5 ...]
// (calls count every request, failed ones included).
#pragma once

#include "servedcall.h"

#include <matrixmanager.hh>

#include <map>
#include <mutex>
#include <vector>

namespace services
{
class MatrixServant : public POA_MatrixManager::IF_MMR_c, public ServedCalls
{
public:
    struct Config
    {
        unsigned inputs = 16;
        unsigned outputs = 8;
        bool rangesSupported = true;
        bool initialised = true;
    };

    MatrixServant(Config config, FaultInjector &faults, CallLog &log);

    static std::vector<std::string> exceptionNames();

    void connect(CORBA::UShort inputPort, CORBA::UShort outputPort) override;
    void disconnect(CORBA::UShort inputPort, CORBA::UShort outputPort) override;
    void reset() override;
    MatrixManager::PortRangeList *setRanges(CORBA::UShort outputPort,
                                            const MatrixManager::PortRangeList &ranges) override;
    void clearRanges(CORBA::UShort port) override;
    CORBA::Boolean init() override;
    char *connectionData() override;
    char *statusData() override;
    CORBA::UShort GetMaxInputPorts() override;
    CORBA::UShort GetMaxOutputPorts() override;

    CORBA::Boolean _is_a(const char *repoId) override;
    CORBA::Boolean _non_existent() override;

    std::string connectionText() const;
    std::string statusText() const;

protected:
    [[noreturn]] void raiseUserException(const FaultInjector::Raise &raise) override;

private:
    struct Range
    {
        unsigned port;
        long long start;
        long long stop;
    };

    void checkInput(unsigned port, const char *what) const;
    void checkOutput(unsigned port) const;

    const Config m_config;
    mutable std::mutex m_mutex;
    std::map<unsigned, unsigned> m_connections; // output -> input
    std::map<unsigned, std::vector<Range>> m_ranges; // output -> ranges
    std::map<std::string, unsigned> m_calls;
};
}
