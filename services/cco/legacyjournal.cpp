#include "legacyjournal.h"

#include <QByteArray>
#include <QFile>

#include <cstdio>
#include <cstdlib>

namespace services
{
namespace legacyjournal
{
namespace
{
const std::string kHeader = "CCO-STATE 1";

bool unescape(const std::string &in, std::string &out)
{
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size())
            return false;
        const auto digit = [](char c) -> int {
            if (c >= '0' && c <= '9')
                return c - '0';
            if (c >= 'A' && c <= 'F')
                return c - 'A' + 10;
            return -1;
        };
        const int hi = digit(in[i + 1]), lo = digit(in[i + 2]);
        if (hi < 0 || lo < 0)
            return false;
        out += char(hi * 16 + lo);
        i += 2;
    }
    return true;
}

std::string checksum(const char *data, std::size_t size)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "#%04x", unsigned(qChecksum(data, uint(size))));
    return buf;
}

std::vector<std::string> splitFields(const std::string &line)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const auto space = line.find(' ', start);
        out.push_back(line.substr(start, space == std::string::npos ? std::string::npos : space - start));
        if (space == std::string::npos)
            return out;
        start = space + 1;
    }
}

// Why `line` is no record, or empty when `record` holds it.
std::string parse(const std::string &line, StateDatabase::Change &record)
{
    const auto hash = line.rfind(" #");
    if (hash == std::string::npos || checksum(line.data(), hash) != line.substr(hash + 1))
        return "checksum mismatch";
    const auto fields = splitFields(line.substr(0, hash));
    if (fields.size() < 2 || fields[0].size() != 1)
        return "not a record";
    const char op = fields[0][0];
    if (!unescape(fields[1], record.name) || record.name.rfind("CCO/", 0) != 0)
        return "bad name";
    record.op = StateDatabase::Change::Op(op);
    record.fields.clear();
    std::size_t first = 2;
    switch (op) {
    case StateDatabase::Change::BindValues: {
        if (fields.size() < 3)
            return "value count missing";
        char *end = nullptr;
        const unsigned long count = std::strtoul(fields[2].c_str(), &end, 10);
        if (fields[2].empty() || *end || count != fields.size() - 3)
            return "value count does not match";
        first = 3;
        break;
    }
    case StateDatabase::Change::BindObject:
        if (fields.size() != 3)
            return "object reference missing";
        break;
    case StateDatabase::Change::UnbindValues:
    case StateDatabase::Change::UnbindObject:
        if (fields.size() != 2)
            return "unexpected fields";
        break;
    default:
        return std::string("unknown record type '") + op + "'";
    }
    for (std::size_t i = first; i < fields.size(); ++i) {
        std::string value;
        if (!unescape(fields[i], value))
            return "bad escape in field " + std::to_string(i);
        record.fields.push_back(std::move(value));
    }
    return {};
}

}

bool looksLikeJournal(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return file.read(qint64(kHeader.size())) == QByteArray::fromStdString(kHeader);
}

std::string read(const QString &path, std::vector<StateDatabase::Change> &records, std::string *note)
{
    records.clear();
    QFile file(path);
    const std::string where = "state file " + path.toStdString();
    if (!file.open(QIODevice::ReadOnly))
        return "cannot read " + where + ": " + file.errorString().toStdString();
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return "cannot read " + where + ": " + file.errorString().toStdString();
    const std::string data(bytes.constData(), std::size_t(bytes.size()));
    std::size_t pos = 0;
    for (long long line = 1; pos < data.size(); ++line) {
        const auto newline = data.find('\n', pos);
        if (newline == std::string::npos && line > 1) {
            if (note)
                *note = where + ": dropped an unfinished last record at line " + std::to_string(line) + " (byte "
                    + std::to_string(pos) + "), which was never acknowledged";
            break;
        }
        const std::string text = data.substr(pos, newline == std::string::npos ? std::string::npos : newline - pos);
        const auto damaged = [&](const std::string &why) {
            return where + " is damaged at line " + std::to_string(line) + " (byte " + std::to_string(pos)
                + "): " + why;
        };
        if (line == 1) {
            if (text != kHeader)
                return damaged("not a cco-server state file");
        } else {
            StateDatabase::Change record;
            const std::string why = parse(text, record);
            if (!why.empty())
                return damaged(why);
            records.push_back(std::move(record));
        }
        if (newline == std::string::npos)
            return damaged("the file ends inside its first line");
        pos = newline + 1;
    }
    return {};
}
}
}
