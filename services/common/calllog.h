// Line output of the servers. stdout carries the READY line, command replies
// and one line per served call; tests read it through a pipe, so every line
// is flushed at once and lines of concurrent calls never interleave.
#pragma once

#include <string>

namespace services
{
void printLine(const std::string &line);

class CallLog
{
public:
    void setQuiet(bool quiet) { m_quiet = quiet; }
    bool quiet() const { return m_quiet; }
    // "CALL <op> <args> -> <outcome>"
    void call(const std::string &op, const std::string &args, const std::string &outcome) const;

private:
    bool m_quiet = false;
};
}
