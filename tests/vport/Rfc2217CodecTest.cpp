// The server side of Telnet with the COM port option: what a client's bytes
// become (data, answers, line settings), in one piece and split anywhere.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vport/Rfc2217Codec.h"

namespace varnock::rfc2217 {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
// IAC SB COM-PORT-OPTION code value IAC SE, written out (value bytes as given).
Bytes Sub(uint8_t code, Bytes value) {
    return Cat({{kIac, kSb, kOptComPort, code}, value, {kIac, kSe}});
}
const Bytes kWillComPort = {kIac, kWill, kOptComPort};
const LineSettings kStart{9600, 8, 0, 0};

struct Fed {
    Bytes data, reply;
    Effects effects;
};
Fed Feed(ServerCodec& codec, const Bytes& in) {
    Fed out;
    codec.Feed(in.data(), in.size(), out.data, out.reply, out.effects);
    return out;
}
// A codec whose client has negotiated the COM port option; its answers dropped.
ServerCodec Negotiated() {
    ServerCodec codec(kStart);
    Feed(codec, kWillComPort);
    return codec;
}

struct Case {
    const char* name;
    Bytes in;
    Bytes data;
    Bytes reply;
    LineSettings line;
};

TEST(Rfc2217CodecTest, CommandsAreAnsweredWithTheValueInUse) {
    const Bytes baud9600 = Sub(101, {0, 0, 0x25, 0x80});
    const Case cases[] = {
        {"baud set", Sub(1, {0, 0, 0x4B, 0}), {}, Sub(101, {0, 0, 0x4B, 0}), {19200, 8, 0, 0}},
        {"baud asked", Sub(1, {0, 0, 0, 0}), {}, baud9600, kStart},
        {"baud 4000000000", Sub(1, {0xEE, 0x6B, 0x28, 0}), {}, baud9600, kStart},
        {"baud too short", Sub(1, {0, 0x4B}), {}, baud9600, kStart},
        {"baud with IAC doubled",
         Sub(1, {0, 0, 0xFF, 0xFF, 0xFF, 0xFF}),
         {},
         Sub(101, {0, 0, 0xFF, 0xFF, 0xFF, 0xFF}),
         {65535, 8, 0, 0}},
        {"data size 7", Sub(2, {7}), {}, Sub(102, {7}), {9600, 7, 0, 0}},
        {"data size 3, 9, asked",
         Cat({Sub(2, {3}), Sub(2, {9}), Sub(2, {0})}),
         {},
         Cat({Sub(102, {8}), Sub(102, {8}), Sub(102, {8})}),
         kStart},
        {"parity even, then 9",
         Cat({Sub(3, {3}), Sub(3, {9})}),
         {},
         Cat({Sub(103, {3}), Sub(103, {3})}),
         {9600, 8, 2, 0}},
        {"stop 1.5, then 9",
         Cat({Sub(4, {3}), Sub(4, {9})}),
         {},
         Cat({Sub(104, {3}), Sub(104, {3})}),
         {9600, 8, 0, 1}},
        {"stop two", Sub(4, {2}), {}, Sub(104, {2}), {9600, 8, 0, 2}},
        {"DTR off, RTS off, asked",
         Cat({Sub(5, {9}), Sub(5, {12}), Sub(5, {7}), Sub(5, {10})}),
         {},
         Cat({Sub(105, {9}), Sub(105, {12}), Sub(105, {9}), Sub(105, {12})}),
         kStart},
        {"flow control set and asked",
         Cat({Sub(5, {3}), Sub(5, {0}), Sub(5, {99})}),
         {},
         Cat({Sub(105, {3}), Sub(105, {3}), Sub(105, {3})}),
         kStart},
        {"modem poll, mask",
         Cat({Sub(7, {}), Sub(11, {0x10})}),
         {},
         Cat({Sub(107, {0xB0}), Sub(111, {0x10}), Sub(107, {0x10})}),
         kStart},
        {"signature asked, told",
         Cat({Sub(0, {}), Sub(0, {'x'})}),
         {},
         Sub(100, {'V', 'a', 'r', 'n', 'o', 'c', 'k'}),
         kStart},
        {"purge 1, then 7", Cat({Sub(12, {1}), Sub(12, {7})}), {}, Sub(112, {1}), kStart},
        {"purge 2 drops what came before it",
         Cat({{'a', 'b'}, Sub(12, {2}), {'c'}}),
         {'c'},
         Sub(112, {2}),
         kStart},
        {"line state, suspend, unknown: no answer",
         Cat({Sub(6, {1}), Sub(8, {}), Sub(9, {}), Sub(77, {1})}),
         {},
         {},
         kStart},
        {"IAC IAC is one data byte",
         {'a', kIac, kIac, 'b', kIac, 241, 'c'},
         {'a', 0xFF, 'b', 'c'},
         {},
         kStart},
        {"SB over the cap is dropped",
         Cat({{kIac, kSb, kOptComPort, 1}, Bytes(200, 0), {kIac, kSe, 'd'}}),
         {'d'},
         {},
         kStart},
        {"SB of another option", {kIac, kSb, 24, 1, kIac, kSe, 'e'}, {'e'}, {}, kStart},
        {"SB cut short by a command",
         Cat({{kIac, kSb, kOptComPort, 1, 0, 0x4B}, {kIac, kWill, kOptSga}, {'f'}}),
         {'f'},
         Cat({baud9600, {kIac, kDo, kOptSga}}),
         kStart},
    };
    for (const Case& c : cases) {
        ServerCodec codec = Negotiated();
        Fed out = Feed(codec, c.in);
        EXPECT_EQ(out.data, c.data) << c.name;
        EXPECT_EQ(out.reply, c.reply) << c.name;
        EXPECT_EQ(codec.Line(), c.line) << c.name;
        EXPECT_EQ(out.effects.settingsChanged, !(c.line == kStart)) << c.name;
    }
}

// Options we take are answered once (no loops), others refused; BINARY is
// proposed both ways as soon as the client speaks Telnet, the modem lines
// told once the COM port option is on.
TEST(Rfc2217CodecTest, NegotiationAndTheStateItLeaves) {
    ServerCodec codec(kStart);
    Fed out = Feed(
        codec, {kIac, kDo,   kOptComPort, kIac, kWill, kOptComPort, kIac, kDo, 1,       kIac, kWill, 99,
                kIac, kDo,   kOptBinary,  kIac, kWill, kOptBinary,  kIac, kDo, kOptSga, kIac, kDo,   kOptSga,
                kIac, kDont, kOptSga,     kIac, kWont, kOptComPort});
    EXPECT_EQ(out.reply, Cat({{kIac, kWill, kOptBinary, kIac, kDo, kOptBinary, kIac, kWill, kOptComPort},
                              Sub(107, {0xB0}),
                              {kIac, kDo, kOptComPort, kIac, kWont, 1, kIac, kDont, 99, kIac, kWill, kOptSga,
                               kIac, kWont, kOptSga, kIac, kDont, kOptComPort}}));
    EXPECT_TRUE(codec.Telnet());

    Feed(codec, Cat({Sub(5, {9}), Sub(1, {0, 0, 0x4B, 0}), Sub(8, {})}));
    EXPECT_TRUE(codec.Suspended());
    EXPECT_FALSE(codec.Dtr());
    // A new client starts from the line settings and DTR of the last one.
    codec.Restart();
    EXPECT_FALSE(codec.Telnet() || codec.Suspended() || codec.Dtr());
    EXPECT_EQ(codec.Line().baudRate, 19200u);
}

// Every split of a stream gives what the whole gives.
TEST(Rfc2217CodecTest, ASplitAnywhereChangesNothing) {
    const Bytes stream = Cat({kWillComPort,
                              {'a', kIac, kIac},
                              Sub(1, {0, 0, 0xFF, 0xFF}),
                              {kIac, kSb, kOptComPort, 2},
                              {7, kIac, kSe, 'z'}});
    ServerCodec whole(kStart);
    const Fed all = Feed(whole, stream);
    ASSERT_EQ(all.data, (Bytes{'a', 0xFF, 'z'}));
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        ServerCodec codec(kStart);
        Fed out = Feed(codec, Bytes(stream.begin(), stream.begin() + static_cast<long>(cut)));
        Fed rest = Feed(codec, Bytes(stream.begin() + static_cast<long>(cut), stream.end()));
        out.data.insert(out.data.end(), rest.data.begin(), rest.data.end());
        out.reply.insert(out.reply.end(), rest.reply.begin(), rest.reply.end());
        EXPECT_EQ(out.data, all.data) << cut;
        EXPECT_EQ(out.reply, all.reply) << cut;
        EXPECT_EQ(codec.Line(), whole.Line()) << cut;
    }
}

}  // namespace
}  // namespace varnock::rfc2217
