#include <gtest/gtest.h>

#include "links/FrameCodec.h"

namespace varnock {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes& Of(const ByteArray& b) {
    return b.bytes();
}

// A reply as the PLC sends it, with the 0x10 bytes already collapsed.
ByteArray Reply(uint8_t sequence, const Bytes& payload, bool serial, uint8_t lengthHigh = 0) {
    Bytes frame = {0x01, 0x00, lengthHigh, static_cast<uint8_t>(payload.size() + 18),
                   0x01, 0x00, 0,          0,
                   0,    0,    0,          0,
                   0,    0,    sequence,   0x01,
                   0x03, 0x01};
    frame.insert(frame.end(), payload.begin(), payload.end());
    if (!serial) return ByteArray(frame);
    uint16_t crc = FrameCrc(frame.data(), static_cast<int>(frame.size()));
    frame.insert(frame.begin(), {0x10, 0x02});
    frame.insert(frame.end(), {0x10, 0x03, static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc & 0xFF)});
    return ByteArray(frame);
}

TEST(FrameCrcTest, WorkedExamples) {
    const uint8_t abc[] = {0x61, 0x62, 0x63};
    const uint8_t dle[] = {0x10};
    EXPECT_EQ(FrameCrc(abc, 3), 0x122B);
    EXPECT_EQ(FrameCrc(nullptr, 0), 0x0A6A);
    EXPECT_EQ(FrameCrc(dle, 1), 0x104D);
}

TEST(DleFramingLayerTest, WorkedFramesAndNoDoublingInTheCrc) {
    DleFramingLayer layer;
    ByteArray abc{0x61, 0x62, 0x63};
    ASSERT_EQ(layer.Encode(abc), 1);
    EXPECT_EQ(Of(abc), (Bytes{0x10, 0x02, 0x61, 0x62, 0x63, 0x10, 0x03, 0x12, 0x2B}));

    ByteArray dle{0x10};
    ASSERT_EQ(layer.Encode(dle), 1);
    EXPECT_EQ(Of(dle), (Bytes{0x10, 0x02, 0x10, 0x10, 0x10, 0x03, 0x10, 0x4D}));

    ByteArray back{0x10, 0x02, 0x61, 0x62, 0x63, 0x10, 0x03, 0x12, 0x2B};
    EXPECT_EQ(layer.Decode(back), 1);
    EXPECT_EQ(Of(back), (Bytes{0x61, 0x62, 0x63}));

    ByteArray swapped{0x10, 0x02, 0x61, 0x62, 0x63, 0x10, 0x03, 0x2B, 0x12};
    EXPECT_EQ(layer.Decode(swapped), 0);
}

TEST(DleFramingLayerTest, ShortOrMalformedFramesFailWithoutHarm) {
    DleFramingLayer layer;
    for (Bytes b : {Bytes{}, Bytes{0x10}, Bytes{0x10, 0x02}, Bytes{0x10, 0x02, 0x10, 0x03, 0x0A},
                    Bytes{0x02, 0x10, 0x10, 0x03, 0x0A, 0x6A}}) {
        ByteArray frame(b);
        EXPECT_EQ(layer.Decode(frame), 0);
    }
    ByteArray empty{0x10, 0x02, 0x10, 0x03, 0x0A, 0x6A};
    EXPECT_EQ(layer.Decode(empty), 1);
    EXPECT_TRUE(empty.IsEmpty());
}

TEST(FrameStackTest, SerialFrameLayout) {
    SequenceNumber seq;
    auto codec = BuildFrameCodec(seq);
    ByteArray frame{0xAA};
    ASSERT_EQ(codec->Encode(frame), 1);
    Bytes body = {0x01, 0x00, 0x00, 0x13, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x01, 0x03, 0x01, 0xAA};
    uint16_t crc = FrameCrc(body.data(), static_cast<int>(body.size()));
    Bytes expected = {0x10, 0x02};
    expected.insert(expected.end(), body.begin(), body.end());
    expected.insert(expected.end(), {0x10, 0x03, static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)});
    EXPECT_EQ(Of(frame), expected);
}

TEST(FrameStackTest, StuffsDleInHeadersAndPayload) {
    SequenceNumber seq;
    auto codec = BuildFrameCodec(seq);
    for (int i = 1; i < 16; ++i) seq.Next();  // the next frame carries 0x10

    ByteArray frame{0x10, 0x10};
    ASSERT_EQ(codec->Encode(frame), 1);
    Bytes b = Of(frame);
    // DLE STX, 14 header bytes, sequence 0x10 doubled, 3 more, payload doubled.
    ASSERT_EQ(b.size(), 29u);
    EXPECT_EQ(Bytes(b.begin() + 16, b.begin() + 18), (Bytes{0x10, 0x10}));
    EXPECT_EQ(Bytes(b.begin() + 21, b.begin() + 25), (Bytes{0x10, 0x10, 0x10, 0x10}));
    EXPECT_EQ(Bytes(b.begin() + 25, b.begin() + 27), (Bytes{0x10, 0x03}));

    // A length of 0x0110 doubles its low byte in the block header.
    ByteArray big(Bytes(254, 0x55));
    ASSERT_EQ(codec->Encode(big), 1);
    EXPECT_EQ(Bytes(Of(big).begin() + 4, Of(big).begin() + 7), (Bytes{0x01, 0x10, 0x10}));
}

TEST(FrameStackTest, EthernetAndUsbFramesHaveNoFraming) {
    for (uint32_t mode : {DleFramingLayer::FRAMING_USB, DleFramingLayer::FRAMING_ETHERNET}) {
        SequenceNumber seq;
        auto codec = BuildFrameCodec(seq);
        codec->SetLinkFraming(mode);
        ByteArray frame{0x10, 0x02};
        ASSERT_EQ(codec->Encode(frame), 1);
        EXPECT_EQ(Of(frame), (Bytes{0x01, 0x00, 0x00, 0x14, 0x00, 0x01, 0,    0,    0,    0,
                                    0,    0,    0,    0,    0x01, 0x01, 0x03, 0x01, 0x10, 0x02}));

        ByteArray reply = Reply(1, {0x10, 0x02}, false);
        EXPECT_EQ(codec->Decode(reply), 1);
        EXPECT_EQ(Of(reply), (Bytes{0x10, 0x02}));
    }
}

TEST(SequenceNumberTest, WrapsFrom255To1) {
    SequenceNumber seq;
    auto codec = BuildFrameCodec(seq);
    codec->SetLinkFraming(DleFramingLayer::FRAMING_ETHERNET);
    std::vector<uint8_t> carried;
    for (int i = 0; i < 256; ++i) {
        ByteArray frame;
        codec->Encode(frame);
        carried.push_back(frame[14]);
    }
    EXPECT_EQ(carried[0], 1);
    EXPECT_EQ(carried[254], 255);
    EXPECT_EQ(carried[255], 1);

    EXPECT_EQ(seq.Current(), 2);
    seq.StepBack();
    seq.StepBack();
    EXPECT_EQ(seq.Current(), 255);  // never 0
}

TEST(SequenceNumberTest, ReplyMustCarryTheNumberLastSent) {
    SequenceNumber seq;
    auto codec = BuildFrameCodec(seq);
    codec->SetLinkFraming(DleFramingLayer::FRAMING_SERIAL);
    while (seq.Current() != 255) seq.Next();

    ByteArray request;
    codec->Encode(request);  // carries 255
    for (auto [number, passes] : {std::pair{255, true}, {1, true}, {0, false}, {254, false}}) {
        ByteArray reply = Reply(static_cast<uint8_t>(number), {0x42}, true);
        EXPECT_EQ(codec->Decode(reply), passes ? 1 : 0) << "after 255, reply " << number;
    }

    codec->Encode(request);  // carries 1
    for (auto [number, passes] : {std::pair{1, true}, {255, false}, {0, false}, {2, false}}) {
        ByteArray reply = Reply(static_cast<uint8_t>(number), {0x42}, true);
        EXPECT_EQ(codec->Decode(reply), passes ? 1 : 0) << "after 1, reply " << number;
    }
}

TEST(FrameStackTest, ReplyChecks) {
    SequenceNumber seq;
    auto codec = BuildFrameCodec(seq);
    ByteArray request{0x00};
    codec->Encode(request);  // carries 1

    ByteArray wrongLength = Reply(1, {0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x7E}, true, 0x33);
    ASSERT_EQ(codec->Decode(wrongLength), 1);
    EXPECT_EQ(Of(wrongLength), (Bytes{0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x7E}));

    // The request's own block header (bytes 4 and 5 swapped) is no reply.
    ByteArray echo = Reply(1, {0x7E}, false);
    echo[4] = 0x00;
    echo[5] = 0x01;
    codec->SetLinkFraming(DleFramingLayer::FRAMING_ETHERNET);
    EXPECT_EQ(codec->Decode(echo), 0);

    // Header bytes are compared as they are when decoding.
    codec->SetHeaderByte2(1, 0x07);
    ByteArray plain = Reply(1, {0x7E}, false);
    EXPECT_EQ(codec->Decode(plain), 0);
    codec->SetHeaderByte2(0, 0x07);
    plain = Reply(1, {0x7E}, false);
    EXPECT_EQ(codec->Decode(plain), 1);

    const Bytes whole = Of(Reply(1, {}, false));
    for (int size : {0, 5, 14, 17}) {
        ByteArray cut(Bytes(whole.begin(), whole.begin() + size));
        EXPECT_EQ(codec->Decode(cut), 0) << size;
    }
}

}  // namespace
}  // namespace varnock
