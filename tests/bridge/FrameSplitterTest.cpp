#include <gtest/gtest.h>

#include <vector>

#include "bridge/DleFrameSplitter.h"
#include "bridge/LengthFrameSplitter.h"
#include "links/FrameCodec.h"
#include "tools/plcsim/PlcSimulator.h"

namespace varnock {
namespace {

ByteArray Slice(const ByteArray& a, int from, int to = -1) {
    return ByteArray(a.data() + from, (to < 0 ? a.GetSize() : to) - from);
}

// A reply frame as the PLC sends it (sequence number 1).
ByteArray MakeFrame(const ByteArray& payload, bool serial) {
    return plcsim::BuildReplyFrame(1, 1, 3, payload, serial);
}

// What the DLE splitter delivers: body unstuffed, DLE ETX and CRC as sent.
ByteArray Unstuffed(const ByteArray& frame) {
    ByteArray out = Slice(frame, 0, 2);
    for (int i = 2; i < frame.GetSize() - 4; ++i) {
        out.Add(frame[i]);
        if (frame[i] == plc::DLE) ++i;
    }
    out.Append(Slice(frame, frame.GetSize() - 4));
    return out;
}

class SplitterTest : public ::testing::Test {
protected:
    template <class Splitter>
    void Feed(Splitter& splitter, ByteArray chunk) {
        splitter.Feed(chunk, [this](ByteArray& frame) {
            m_frames.push_back(frame);
            frame.RemoveAll();
        });
    }
    std::vector<ByteArray> m_frames;
    LengthFrameSplitter m_length;
    DleFrameSplitter m_dle;
};

// Every complete frame of a chunk; a length below the headers drops what is buffered.
TEST_F(SplitterTest, LengthSplitterDeliversEveryCompleteFrameOfAChunk) {
    ByteArray a = MakeFrame({0, 0, 2, 0, 0, 0, 'a'}, false);
    ByteArray b = MakeFrame({0, 0, 2, 0, 0, 0, 'b', 'c'}, false);
    ByteArray chunk = a;
    chunk.Append(b);
    chunk.Append(Slice(a, 0, 3));
    Feed(m_length, chunk);
    EXPECT_EQ(m_frames, std::vector<ByteArray>({a, b}));
    EXPECT_EQ(m_length.Buffered().GetSize(), 3);

    Feed(m_length, Slice(a, 3));
    EXPECT_EQ(m_frames, std::vector<ByteArray>({a, b, a}));
    EXPECT_TRUE(m_length.Buffered().IsEmpty());

    m_frames.clear();
    Feed(m_length, {0x01, 0x00, 0x00, 0x11, 0xAA, 0xBB});
    EXPECT_TRUE(m_length.Buffered().IsEmpty());
    Feed(m_length, {0x01, 0x00, 0x00, 0x00});
    EXPECT_TRUE(m_frames.empty());
    Feed(m_length, b);
    EXPECT_EQ(m_frames, std::vector<ByteArray>({b}));
}

// Every cut (also after a lone DLE: stuffed, before ETX or STX) and none; a DLE CRC byte passes.
TEST_F(SplitterTest, DleSplitterGivesTheSameFramesWhereverAChunkEnds) {
    auto crcWithDle = [](int at) {
        for (int v = 0;; ++v) {
            ByteArray f = MakeFrame({0, 0, 2, 0, 0, 0, uint8_t(v >> 8), uint8_t(v)}, true);
            if (f[f.GetSize() - 2 + at] == 0x10) return f;
        }
    };
    const ByteArray data{0, 0, 2, 0, 0, 0, 0x10, 'x', 0x10, 0x10, 0x03, 0x10, 0x02};
    const ByteArray sent[] = {MakeFrame(data, true), crcWithDle(0), crcWithDle(1),
                              MakeFrame({0, 0, 2, 0, 0, 0, 'q'}, true)};
    ByteArray all;
    std::vector<ByteArray> expected;
    for (const ByteArray& frame : sent) {
        all.Append(frame);
        expected.push_back(Unstuffed(frame));
    }
    for (int cut = 0; cut < all.GetSize(); ++cut) {
        m_frames.clear();
        m_dle.Reset();
        Feed(m_dle, Slice(all, 0, cut));
        Feed(m_dle, Slice(all, cut));
        ASSERT_EQ(m_frames, expected) << "cut " << cut;
    }
    m_frames.clear();
    m_dle.Reset();
    for (int i = 0; i < all.GetSize(); ++i) Feed(m_dle, {all[i]});
    ASSERT_EQ(m_frames, expected);

    // Bytes that never form a frame are kept no longer than the longest frame.
    for (int i = 0; i < 40; ++i) Feed(m_dle, ByteArray(std::vector<uint8_t>(4096, 'x')));
    EXPECT_EQ(m_dle.Buffered().GetSize(), DleFrameSplitter::kMaxFrameLength);

    // Body unstuffed, DLE ETX and CRC as sent: the frame decodes.
    SequenceNumber seq;
    seq.Next();
    auto codec = BuildFrameCodec(seq);
    codec->SetLinkFraming(plc::Framing::Serial);
    ASSERT_EQ(codec->Decode(m_frames[0]), 1);
    EXPECT_EQ(m_frames[0], data);
}

}  // namespace
}  // namespace varnock
