// The port served over TCP as the bridge sees it, with a plain socket as its client.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/TestSupport.h"
#include "tests/vport/VportTestSupport.h"
#include "vport/NetworkPortDriver.h"
#include "vport/VirtualPortFactory.h"

namespace varnock {
namespace {
using namespace std::chrono_literals;

// A session is the host's open and close, with the client's address; what the client sends while the
// channel takes nothing waits (the socket held back) and arrives whole; a client that reads nothing
// fills the port's queue, after which writes drop instead of waiting.
TEST(NetworkPortDriverTest, SessionsKeepEveryByteAndBoundWhatWaits) {
    if (!test::InNetworkNamespace()) return test::RunInNetworkNamespace();
    ASSERT_EQ(std::system("ip link set lo up"), 0);
    DriverOptions options;
    options.listenAddress = "127.0.0.126";
    options.listenPort = 2538;
    auto port = VirtualPortFactory::Instance().Create(1, options);
    test::TestOwner owner;
    owner.full = true;
    port->SetOwner(owner);
    ASSERT_TRUE(port->Open("COM7"));
    EXPECT_EQ(port->NetworkClient(), "");

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in to{AF_INET, htons(2538), {}, {}};
    ::inet_pton(AF_INET, "127.0.0.126", &to.sin_addr);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    ASSERT_TRUE(test::WaitFor([&] { return owner.closed == 0; }));
    EXPECT_EQ(port->NetworkClient(), "127.0.0.1:" + std::to_string(ntohs(local.sin_port)));

    std::string sent(4 << 20, '\0');
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>((i * 7 + i / 256) & 0x7F);
    std::thread client([&] { EXPECT_EQ(::send(fd, sent.data(), sent.size(), 0), ssize_t(sent.size())); });
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(owner.Blocks().empty());
    owner.full = false;
    EXPECT_TRUE(test::WaitFor([&] { return owner.Joined().size() >= sent.size(); }, 20s));
    client.join();
    EXPECT_TRUE(owner.Joined() == sent);

    const ByteArray block(std::vector<uint8_t>(64 * 1024, 0x55));
    for (int i = 0; i < 256 && port->QueryOutput().room > 0; ++i) port->Write(block);
    EXPECT_EQ(port->QueryOutput().room, 0);
    port->Write(block);  // waits for room once, in vain, then drops
    const auto start = std::chrono::steady_clock::now();
    port->Write(block);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);  // not 64K waits

    ::close(fd);
    EXPECT_TRUE(test::WaitFor([&] { return owner.closed == 1; }));
    EXPECT_EQ(port->NetworkClient(), "");
    EXPECT_EQ(port->QueryOutput().room, static_cast<int64_t>(NetworkPortDriver::kOutCap));
}

}  // namespace
}  // namespace varnock
