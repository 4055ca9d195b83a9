// A Win32 program doing what programming software does with its COM port,
// under Wine (the 64-bit loader and the plain wine command), bare and
// through varnock-host. One private prefix for the whole program.
#include <gtest/gtest.h>

#include <regex>

#include "tests/host/HostFixture.h"

namespace varnock::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kWine64 = "/usr/lib/wine/wine64";

class WineEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        HostEnvironment& host = HostEnvironment::Get();
        s_prefix = host.Work() / "wine";
        ProgramResult r = host.Run({kWine64, "wineboot", "--init"}, false, Env(), 180s);
        ASSERT_EQ(r.exitCode, 0) << r.out;
        fs::create_symlink(host.Port(), s_prefix / "dosdevices" / "com5");
    }
    void TearDown() override {
        if (!s_prefix.empty()) HostEnvironment::Get().Run({"/usr/lib/wine/wineserver", "-k"}, false, Env());
    }
    static std::vector<std::string> Env() {
        return {"WINEPREFIX=" + s_prefix.string(), "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml="};
    }

private:
    static inline fs::path s_prefix;
};

class WineTest : public ::testing::Test {
protected:
    ProgramResult Wincomm(std::vector<std::string> args, bool launcher, const std::string& wine = kWine64) {
        args.insert(args.begin(), {wine, VARNOCK_WINCOMM, "COM5"});
        return HostEnvironment::Get().Run(args, launcher, WineEnvironment::Env(), 60s);
    }
};

TEST_F(WineTest, BareRunsOneAfterAnotherBothSetTheLine) {
    for (const std::string text : {"first", "second"}) {
        ProgramResult r = Wincomm({"echo", text}, false);
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_NE(r.out.find("ok echo " + text), std::string::npos) << r.out;
    }
}

TEST_F(WineTest, ThroughTheLauncherThePortActsAsASerialPort) {
    for (const std::string& wine : {kWine64, std::string("/usr/bin/wine")}) {
        ProgramResult r = Wincomm({"twice"}, true, wine);
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_NE(r.out.find("ok state 9600 7 2 0"), std::string::npos) << wine << ": " << r.out;
    }
    ProgramResult r = Wincomm({"modem"}, true);
    EXPECT_NE(r.out.find("ok modem CTS DSR DCD"), std::string::npos) << r.out;

    // WaitCommEvent waits for the echo, which the PLC holds back.
    HostEnvironment::Get().Plc().SetReplyDelay(800ms);
    r = Wincomm({"wait", "later"}, true);
    HostEnvironment::Get().Plc().SetReplyDelay(0ms);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    std::smatch waited;
    ASSERT_TRUE(std::regex_search(r.out, waited, std::regex("ok wait EV_RXCHAR after ([0-9]+) ms"))) << r.out;
    EXPECT_GE(std::stoi(waited[1]), 700);
    EXPECT_NE(r.out.find("ok echo later"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace varnock::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new varnock::test::HostEnvironment("127.0.0.122"));
    ::testing::AddGlobalTestEnvironment(new varnock::test::WineEnvironment);
    return RUN_ALL_TESTS();
}
