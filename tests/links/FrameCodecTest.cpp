#include <gtest/gtest.h>

#include "links/FrameCodec.h"

namespace varnock {
namespace {

using Bytes = std::vector<uint8_t>;

// A reply as the PLC sends it, with the DLE bytes already collapsed.
ByteArray Reply(uint8_t sequence, const Bytes& payload, bool serial, uint8_t lengthHigh = 0) {
    Bytes frame = {0x01, 0x00, lengthHigh, static_cast<uint8_t>(payload.size() + plc::kHeadersSize), 0x01};
    frame.resize(14);
    frame.insert(frame.end(), {sequence, 0x01, 0x03, 0x01});
    frame.insert(frame.end(), payload.begin(), payload.end());
    if (!serial) return ByteArray(frame);
    uint16_t crc = FrameCrc(frame.data(), static_cast<int>(frame.size()));
    frame.insert(frame.begin(), {plc::DLE, plc::STX});
    frame.insert(frame.end(), {plc::DLE, plc::ETX, uint8_t(crc >> 8), uint8_t(crc)});
    return ByteArray(frame);
}

// The worked examples: the payload's 0x10 is doubled, the CRC's is not.
TEST(FrameCodecTest, DleFramingWorkedExamples) {
    DleFramingLayer layer;
    for (auto [plain, wire] :
         {std::pair<Bytes, Bytes>{{0x61, 0x62, 0x63}, {0x10, 0x02, 0x61, 0x62, 0x63, 0x10, 0x03, 0x12, 0x2B}},
          {{0x10}, {0x10, 0x02, 0x10, 0x10, 0x10, 0x03, 0x10, 0x4D}},
          {{}, {0x10, 0x02, 0x10, 0x03, 0x0A, 0x6A}}}) {
        ByteArray frame(plain);
        ASSERT_EQ(layer.Encode(frame), 1);
        EXPECT_EQ(frame.bytes(), wire);
    }
    // Swapped CRC bytes, and frames too short to hold their parts.
    for (Bytes b : {Bytes{0x10, 0x02, 0x61, 0x62, 0x63, 0x10, 0x03, 0x2B, 0x12}, Bytes{}, Bytes{0x10},
                    Bytes{0x10, 0x02}, Bytes{0x10, 0x02, 0x10, 0x03, 0x0A}}) {
        ByteArray frame(b);
        EXPECT_EQ(layer.Decode(frame), 0);
    }
}

TEST(FrameCodecTest, FrameLayoutsAndStuffing) {
    const Bytes header = {0x01, 0x00, 0x00, 0x13, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x01, 0x03, 0x01};
    for (plc::Framing mode : {plc::Framing::Serial, plc::Framing::Usb, plc::Framing::Ethernet}) {
        SequenceNumber seq;
        auto codec = BuildFrameCodec(seq);
        codec->SetLinkFraming(mode);
        ByteArray frame{0xAA};
        ASSERT_EQ(codec->Encode(frame), 1);
        ByteArray body(header);
        body.Add(0xAA);
        if (mode == plc::Framing::Serial) DleFramingLayer().Encode(body);
        EXPECT_EQ(frame, body) << int(mode);
    }

    SequenceNumber seq;
    auto codec = BuildFrameCodec(seq);
    for (int i = 1; i < 16; ++i) seq.Next();  // the next frame carries 0x10
    ByteArray frame{0x10, 0x10};
    ASSERT_EQ(codec->Encode(frame), 1);
    const Bytes& b = frame.bytes();
    // DLE STX, 14 header bytes, sequence 0x10 doubled, 3 more, payload doubled.
    ASSERT_EQ(b.size(), 29u);
    EXPECT_EQ(Bytes(b.begin() + 16, b.begin() + 18), (Bytes{0x10, 0x10}));
    EXPECT_EQ(Bytes(b.begin() + 21, b.begin() + 27), (Bytes{0x10, 0x10, 0x10, 0x10, 0x10, 0x03}));
}

TEST(FrameCodecTest, SequenceRunsFrom1To255AndAgainAndTheReplyMustCarryTheLastSent) {
    SequenceNumber seq;
    auto codec = BuildFrameCodec(seq);
    codec->SetLinkFraming(plc::Framing::Ethernet);
    std::vector<uint8_t> carried;
    for (int i = 0; i < 256; ++i) {
        ByteArray frame;
        codec->Encode(frame);
        carried.push_back(frame[14]);
    }
    EXPECT_EQ(std::tuple(carried[0], carried[254], carried[255]), std::tuple(1, 255, 1));

    codec->SetLinkFraming(plc::Framing::Serial);
    while (seq.Current() != 255) seq.Next();
    ByteArray request;
    // 255 or 1 after 255, 1 after 1, never 0.
    for (auto [sent, accepted] : {std::pair<int, Bytes>{255, {255, 1}}, {1, {1}}}) {
        codec->Encode(request);
        for (int number : {0, 1, 2, 254, 255}) {
            ByteArray reply = Reply(static_cast<uint8_t>(number), {0x42}, true);
            bool passes = std::find(accepted.begin(), accepted.end(), number) != accepted.end();
            EXPECT_EQ(codec->Decode(reply), passes ? 1 : 0) << sent << " " << number;
        }
    }
    ByteArray wrongLength = Reply(1, {0x00, 0x02, 0x7E}, true, 0x33);
    ASSERT_EQ(codec->Decode(wrongLength), 1);
    EXPECT_EQ(wrongLength.bytes(), (Bytes{0x00, 0x02, 0x7E}));

    // Without framing; cut replies fail without reading past their end.
    codec->SetLinkFraming(plc::Framing::Ethernet);
    const Bytes whole = Reply(1, {}, false).bytes();
    for (int size : {0, 5, 14, 17}) {
        ByteArray cut(Bytes(whole.begin(), whole.begin() + size));
        EXPECT_EQ(codec->Decode(cut), 0) << size;
    }
    ByteArray plain = Reply(1, {0x10, 0x02}, false);
    EXPECT_EQ(codec->Decode(plain), 1);
    EXPECT_EQ(plain.bytes(), (Bytes{0x10, 0x02}));
}

}  // namespace
}  // namespace varnock
