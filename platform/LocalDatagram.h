#pragma once
// A Unix-domain datagram socket bound to a path, through which programs of
// the same user hand small messages to this process. Every datagram carries
// its sender's credentials, checked by the kernel; only those of our own user
// are taken.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "platform/Error.h"

namespace varnock::platform {

class LocalDatagramSocket {
public:
    // Binds `path` with mode 0600, non-blocking, with a receive queue of a
    // few messages. A socket at `path` is replaced (the caller owns the
    // name), any other file is left alone and the bind fails (AddressInUse).
    // On failure `socket` stays empty (InvalidAddress for a path a socket
    // address cannot hold).
    static Error Bind(const std::filesystem::path& path, std::unique_ptr<LocalDatagramSocket>& socket);
    ~LocalDatagramSocket();
    LocalDatagramSocket(const LocalDatagramSocket&) = delete;
    LocalDatagramSocket& operator=(const LocalDatagramSocket&) = delete;

    int fd() const { return m_fd; }
    // The sender's address, to answer it.
    struct Sender {
        uint8_t address[112] = {};
        uint32_t length = 0;
    };
    // The next waiting datagram from a sender of our user: its size (a
    // longer one is cut to `room` and reported with its full size), or -1
    // when none waits. Datagrams of other users are dropped on the way.
    long Receive(uint8_t* buffer, size_t room, Sender* sender = nullptr);
    // Answers a sender without waiting: false when it is gone or full.
    bool Answer(const Sender& sender, const uint8_t* data, size_t size);

private:
    LocalDatagramSocket() = default;
    int m_fd = -1;
    std::filesystem::path m_path;
    uint64_t m_inode = 0;
};

// Sends one datagram to the socket at `path` without waiting: false when
// nobody listens there or its queue is full.
bool SendLocalDatagram(const std::filesystem::path& path, const uint8_t* data, size_t size);

}  // namespace varnock::platform
