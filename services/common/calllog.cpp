#include "calllog.h"

#include <cstdio>
#include <mutex>

namespace services
{
namespace
{
std::mutex &outputMutex()
{
    static std::mutex m;
    return m;
}
}

void printLine(const std::string &line)
{
    std::lock_guard<std::mutex> lock(outputMutex());
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void CallLog::call(const std::string &op, const std::string &args, const std::string &outcome) const
{
    if (m_quiet)
        return;
    std::string line = "CALL " + op;
    if (!args.empty())
        line += " " + args;
    line += " -> " + outcome;
    printLine(line);
}
}
