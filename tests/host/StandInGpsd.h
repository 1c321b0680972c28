// A stand-in gpsd for the tests of the gpsd feed: a listening socket on a local port.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace n95::host {

// A stand-in gpsd: a listening socket on a free local port; the test accepts the feed's
// connections and writes gpsd's JSON to them.
class StandInGpsd {
public:
    StandInGpsd() { Listen(0); }
    ~StandInGpsd() {
        CloseClient();
        if (Listener >= 0)
            ::close(Listener);
    }
    void Listen(int port) {
        Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        ASSERT_EQ(::bind(Listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(Listener, 8), 0);
        socklen_t size = sizeof address;
        getsockname(Listener, reinterpret_cast<sockaddr*>(&address), &size);
        Port = ntohs(address.sin_port);
    }
    void StopListening() {
        ::close(Listener);
        Listener = -1;
    }
    // True when a connection waits to be accepted.
    bool Pending() const {
        pollfd p{Listener, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }
    // Takes the feed's connections: a check that gpsd answers, closed at once, then
    // libgps's own, which is kept.
    void Accept() {
        CloseClient();
        for (;;) {
            const int fd = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
            ASSERT_GE(fd, 0);
            char byte;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 200) == 1 && ::recv(fd, &byte, 1, MSG_PEEK) == 0) {
                ::close(fd);  // the check, already closed
                continue;
            }
            Client = fd;
            return;
        }
    }
    void Send(const std::string& text) const {
        ASSERT_EQ(::send(Client, text.data(), text.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(text.size()));
    }
    // Closes the connection with a reset instead of an orderly end.
    void Reset() {
        const linger abort{1, 0};
        setsockopt(Client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        CloseClient();
    }
    void CloseClient() {
        if (Client >= 0)
            ::close(Client);
        Client = -1;
    }

    int Listener = -1;
    int Client = -1;
    int Port = 0;
};

}  // namespace n95::host
