// Line output of the servers. stdout carries the READY line, command replies
// and one line per served call; tests read it through a pipe. Lines go out
// whole and in order through one writer thread, so a call pays for building
// its line, not for the write to the pipe; the writer flushes as soon as it
// has lines, so readers still see each line at once.
#pragma once

#include <cstddef>
#include <string>

namespace services
{
void printLine(const std::string &line);
// Returns once every line printed so far is written.
void flushOutput();

class CallLog
{
public:
    // Arguments beyond this many bytes are cut in the log line.
    static constexpr std::size_t kArgumentBytes = 256;

    void setQuiet(bool quiet) { m_quiet = quiet; }
    bool quiet() const { return m_quiet; }
    // "CALL <op> <args> -> <outcome>"
    void call(const std::string &op, const std::string &args, const std::string &outcome) const;

private:
    bool m_quiet = false;
};
}
