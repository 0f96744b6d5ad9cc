// GIOP 1.2 by hand, for the tests that send what no stub would: requests with
// values out of range, broken headers, garbage, and connections that never
// finish a message.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace giop
{
using Bytes = std::vector<std::uint8_t>;

// Big-endian CDR, aligned from the start of the message.
struct Cdr
{
    Bytes bytes;
    void align(std::size_t n)
    {
        while (bytes.size() % n)
            bytes.push_back(0);
    }
    void octet(std::uint8_t v) { bytes.push_back(v); }
    void ushort(std::uint16_t v)
    {
        align(2);
        octet(std::uint8_t(v >> 8));
        octet(std::uint8_t(v));
    }
    void ulong(std::uint32_t v)
    {
        align(4);
        for (int shift = 24; shift >= 0; shift -= 8)
            octet(std::uint8_t(v >> shift));
    }
    void string(const std::string &s)
    {
        ulong(std::uint32_t(s.size() + 1));
        bytes.insert(bytes.end(), s.begin(), s.end());
        octet(0);
    }
    void octets(const std::string &s)
    {
        ulong(std::uint32_t(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
    }
};

inline Bytes header(std::uint8_t type, std::uint32_t size, std::uint8_t major = 1, std::uint8_t minor = 2)
{
    return {'G', 'I', 'O', 'P', major, minor, 0, type, std::uint8_t(size >> 24), std::uint8_t(size >> 16),
        std::uint8_t(size >> 8), std::uint8_t(size)};
}

// A ulong of a message in the byte order its header names; 99 past its end.
inline std::uint32_t ulongAt(const Bytes &msg, std::size_t pos)
{
    if (msg.size() < 7 || pos + 4 > msg.size())
        return 99;
    const bool little = msg[6] & 1;
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i)
        v = (v << 8) | msg[little ? pos + 3 - i : pos + i];
    return v;
}

// A request for `operation` on the object `key`; `body` adds the arguments,
// 8-aligned after the header as GIOP 1.2 wants.
inline Bytes request(
    std::uint32_t id, const std::string &key, const std::string &operation, const std::function<void(Cdr &)> &body = {})
{
    Cdr cdr;
    cdr.bytes = header(0, 0);
    cdr.ulong(id);
    cdr.octet(3); // response expected
    cdr.octet(0);
    cdr.octet(0);
    cdr.octet(0);
    cdr.ushort(0); // KeyAddr
    cdr.octets(key);
    cdr.string(operation);
    cdr.ulong(0); // no service contexts
    if (body) {
        cdr.align(8);
        body(cdr);
    }
    const Bytes sized = header(0, std::uint32_t(cdr.bytes.size() - 12));
    std::copy(sized.begin(), sized.end(), cdr.bytes.begin());
    return cdr.bytes;
}

// A client socket on a loopback port.
class RawConnection
{
public:
    explicit RawConnection(int port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(std::uint16_t(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~RawConnection()
    {
        if (fd >= 0)
            ::close(fd);
    }
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;
    bool ok() const { return fd >= 0; }
    // The client gives up sending, as one that went away would.
    void shutdownWrite() { ::shutdown(fd, SHUT_WR); }
    bool send(const Bytes &bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += std::size_t(n);
        }
        return true;
    }
    // What the server sends until it closes the connection, `timeoutMs`
    // passes or, with `oneMessage`, a whole GIOP message has come; `closed`
    // tells whether the server closed.
    Bytes receive(int timeoutMs, bool *closed, bool oneMessage = false)
    {
        Bytes got;
        *closed = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left
                = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                      .count();
            if (left <= 0)
                return got;
            pollfd p {fd, POLLIN, 0};
            if (::poll(&p, 1, int(left)) <= 0)
                return got;
            std::uint8_t buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                *closed = true;
                return got;
            }
            got.insert(got.end(), buf, buf + n);
            if (oneMessage && got.size() >= 12 && got.size() >= 12 + std::size_t(ulongAt(got, 8)))
                return got;
        }
    }

private:
    int fd = -1;
};
}
