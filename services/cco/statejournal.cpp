#include "statejournal.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace services
{
namespace
{
const std::string kHeader = "CCO-STATE 1";

std::string systemError(const std::string &what, const QString &path)
{
    return what + " " + path.toStdString() + ": " + std::strerror(errno);
}

// Bytes that could split a record or a field travel as %XX.
void escape(const std::string &in, std::string &out)
{
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : in) {
        if (c <= 0x20 || c >= 0x7f || c == '%' || c == '#') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += char(c);
        }
    }
}

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

std::string format(const StateJournal::Record &r)
{
    std::string line(1, char(r.op));
    line += ' ';
    escape(r.name, line);
    if (r.op == StateJournal::Record::BindValues)
        line += ' ' + std::to_string(r.fields.size());
    for (const auto &f : r.fields) {
        line += ' ';
        escape(f, line);
    }
    line += ' ' + checksum(line.data(), line.size()) + '\n';
    return line;
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
std::string parse(const std::string &line, StateJournal::Record &record)
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
    record.op = StateJournal::Record::Op(op);
    record.fields.clear();
    std::size_t first = 2;
    switch (op) {
    case StateJournal::Record::BindValues: {
        if (fields.size() < 3)
            return "value count missing";
        char *end = nullptr;
        const unsigned long count = std::strtoul(fields[2].c_str(), &end, 10);
        if (fields[2].empty() || *end || count != fields.size() - 3)
            return "value count does not match";
        first = 3;
        break;
    }
    case StateJournal::Record::BindObject:
        if (fields.size() != 3)
            return "object reference missing";
        break;
    case StateJournal::Record::UnbindValues:
    case StateJournal::Record::UnbindObject:
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

bool writeAll(int fd, const std::string &data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

std::string syncDirectory(const QString &file)
{
    const QString dir = QFileInfo(file).absolutePath();
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return systemError("cannot open directory", dir);
    const bool ok = ::fsync(fd) == 0;
    const std::string error = ok ? std::string() : systemError("cannot sync directory", dir);
    ::close(fd);
    return error;
}
}

StateJournal::Contents StateJournal::read(const QString &path)
{
    Contents contents;
    QFile file(path);
    if (!file.exists())
        return contents;
    const std::string where = "state file " + path.toStdString();
    if (!file.open(QIODevice::ReadOnly)) {
        contents.error = "cannot read " + where + ": " + file.errorString().toStdString();
        return contents;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        contents.error = "cannot read " + where + ": " + file.errorString().toStdString();
        return contents;
    }
    const std::string data(bytes.constData(), std::size_t(bytes.size()));
    std::size_t pos = 0;
    for (long long line = 1; pos < data.size(); ++line) {
        const auto newline = data.find('\n', pos);
        if (newline == std::string::npos && line > 1) {
            // An append that did not finish was never acknowledged.
            contents.note = where + ": dropped an unfinished last record at line " + std::to_string(line) +
                            " (byte " + std::to_string(pos) + "), which was never acknowledged";
            break;
        }
        const std::string text = data.substr(pos, newline == std::string::npos ? std::string::npos : newline - pos);
        const auto damaged = [&](const std::string &why) {
            contents.error = where + " is damaged at line " + std::to_string(line) + " (byte " +
                             std::to_string(pos) + "): " + why;
        };
        if (line == 1) {
            if (text != kHeader) {
                damaged("not a cco-server state file (\"" + kHeader + "\" expected)");
                return contents;
            }
        } else {
            Record record;
            const std::string why = parse(text, record);
            if (!why.empty()) {
                damaged(why);
                return contents;
            }
            contents.records.push_back(std::move(record));
        }
        if (newline == std::string::npos) {
            damaged("the file ends inside its first line");
            return contents;
        }
        pos = newline + 1;
    }
    contents.validBytes = (long long)(pos);
    return contents;
}

StateJournal::StateJournal(QString path)
    : m_path(std::move(path))
{
}

StateJournal::~StateJournal()
{
    if (m_fd >= 0) {
        if (m_unsynced)
            ::fdatasync(m_fd);
        ::close(m_fd);
    }
}

std::string StateJournal::open(long long validBytes)
{
    if (m_fd >= 0)
        ::close(m_fd);
    const QByteArray name = QFile::encodeName(m_path);
    m_fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0)
        return systemError("cannot open state file", m_path);
    if (validBytes == 0) {
        if (::ftruncate(m_fd, 0) != 0 || !writeAll(m_fd, kHeader + "\n") || ::fsync(m_fd) != 0)
            return systemError("cannot write state file", m_path);
        m_size = (long long)(kHeader.size() + 1);
        return syncDirectory(m_path);
    }
    if (::ftruncate(m_fd, validBytes) != 0 || ::lseek(m_fd, validBytes, SEEK_SET) < 0 || ::fsync(m_fd) != 0)
        return systemError("cannot write state file", m_path);
    m_size = validBytes;
    return syncDirectory(m_path);
}

std::string StateJournal::append(const Record &record)
{
    if (m_fd < 0)
        return "state file " + m_path.toStdString() + " is not open";
    const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
    const bool sync = m_syncIntervalMs == 0 || now - m_lastSyncMs >= m_syncIntervalMs;
    if (writeAll(m_fd, format(record)) && (!sync || ::fdatasync(m_fd) == 0)) {
        m_size = ::lseek(m_fd, 0, SEEK_CUR);
        ++m_records;
        m_unsynced = !sync;
        if (sync)
            m_lastSyncMs = now;
        return {};
    }
    const std::string error = systemError("cannot write state file", m_path);
    // Cut the partial record off, so that the file still loads as it was.
    if (::ftruncate(m_fd, m_size) != 0 || ::lseek(m_fd, m_size, SEEK_SET) < 0)
        return error + " (and cannot cut off the partial record: " + std::strerror(errno) + ")";
    return error;
}

std::string StateJournal::rewrite(const std::vector<Record> &live)
{
    const QString fresh = m_path + QStringLiteral(".new");
    const QByteArray freshName = QFile::encodeName(fresh);
    const int fd = ::open(freshName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return systemError("cannot create", fresh);
    std::string data = kHeader + "\n";
    bool ok = true;
    for (const auto &r : live) {
        data += format(r);
        if (data.size() > (1 << 20)) {
            ok = writeAll(fd, data);
            data.clear();
            if (!ok)
                break;
        }
    }
    ok = ok && writeAll(fd, data) && ::fsync(fd) == 0;
    std::string error = ok ? std::string() : systemError("cannot write", fresh);
    const long long size = ok ? (long long)(::lseek(fd, 0, SEEK_CUR)) : 0;
    ::close(fd);
    const QByteArray name = QFile::encodeName(m_path);
    const QByteArray previous = QFile::encodeName(previousPath(m_path));
    if (ok) {
        // The current file becomes the kept copy without a moment in which
        // neither name holds a good file.
        if ((::unlink(previous.constData()) != 0 && errno != ENOENT) || ::link(name.constData(), previous.constData()) != 0)
            error = systemError("cannot keep the previous state file as", previousPath(m_path));
        else if (::rename(freshName.constData(), name.constData()) != 0)
            error = systemError("cannot rename into place", fresh);
    }
    if (!error.empty()) {
        ::unlink(freshName.constData());
        // Tried again only after as many records again, not on every append.
        m_records = 0;
        return error;
    }
    error = syncDirectory(m_path);
    // The renamed file is the journal from here on, whether the directory sync worked or not.
    const std::string reopened = open(size);
    m_records = 0;
    return reopened.empty() ? error : reopened;
}
}
