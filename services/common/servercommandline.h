// The command-line habits both servers share: one-line errors with exit code
// 2, --help and --version on stdout, no positional arguments.
#pragma once

#include "externalccodriver_version.h"

#include <QCommandLineParser>
#include <QStringList>
#include <QSysInfo>

#include <cstdio>
#include <optional>
#include <string>

namespace services
{
inline int failWith(const char *program, const std::string &reason, int code = 2)
{
    std::fprintf(stderr, "%s: %s\n", program, reason.c_str());
    return code;
}

// An exit code when the program should end here (bad arguments, --help or
// --version), nothing when it should go on.
inline std::optional<int> parseServerCommandLine(QCommandLineParser &parser, const QCommandLineOption &help,
                                                 int argc, char *argv[], const char *program)
{
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Show the version and exit."));
    parser.addOption(version);
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (!parser.parse(args))
        return failWith(program, parser.errorText().toStdString() + " (see --help)");
    if (parser.isSet(help)) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("%s %s\n", program, EXTERNALCCODRIVER_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return failWith(program,
                        "unexpected argument '" + parser.positionalArguments().first().toStdString() + "' (see --help)");
    return std::nullopt;
}

inline std::string localHostName()
{
    const QString name = QSysInfo::machineHostName();
    return name.isEmpty() ? std::string("localhost") : name.toStdString();
}
}
