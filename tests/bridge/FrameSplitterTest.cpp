#include <gtest/gtest.h>

#include <vector>

#include "bridge/DleFrameSplitter.h"
#include "bridge/LengthFrameSplitter.h"
#include "links/FrameCodec.h"

namespace varnock {
namespace {

std::vector<ByteArray> g_frames;
void Collect(ByteArray& frame) {
    g_frames.push_back(frame);
    frame.RemoveAll();
}

ByteArray Concat(std::initializer_list<ByteArray> parts) {
    ByteArray out;
    for (const auto& p : parts) out.Append(p);
    return out;
}

ByteArray Slice(const ByteArray& a, int from, int to) {
    return ByteArray(a.data() + from, to - from);
}

// A reply frame as the PLC sends it (sequence number 1).
ByteArray MakeFrame(const ByteArray& payload, bool serial) {
    int length = payload.GetSize() + 18;
    ByteArray frame{
        0x01, 0x00, uint8_t(length >> 8), uint8_t(length), 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x01,
        0x03, 0x01};
    frame.Append(payload);
    DleFramingLayer framing;
    framing.SetLinkFraming(serial ? 1 : 3);
    framing.Encode(frame);
    return frame;
}

// What the DLE splitter delivers: body unstuffed, DLE ETX and CRC as sent.
ByteArray Unstuffed(const ByteArray& frame) {
    ByteArray out = Slice(frame, 0, 2);
    for (int i = 2; i < frame.GetSize() - 4; ++i) {
        out.Add(frame[i]);
        if (frame[i] == 0x10) ++i;
    }
    out.Append(Slice(frame, frame.GetSize() - 4, frame.GetSize()));
    return out;
}

class SplitterTest : public ::testing::Test {
protected:
    void SetUp() override { g_frames.clear(); }
    void FeedLength(ByteArray chunk) { m_length.Feed(chunk, Collect); }
    void FeedDle(ByteArray chunk) { m_dle.Feed(chunk, Collect); }
    LengthFrameSplitter m_length;
    DleFrameSplitter m_dle;
};

TEST_F(SplitterTest, LengthSplitterDeliversEveryCompleteFrameOfAChunk) {
    ByteArray a = MakeFrame({0, 0, 2, 0, 0, 0, 'a'}, false);
    ByteArray b = MakeFrame({0, 0, 2, 0, 0, 0, 'b', 'c'}, false);
    FeedLength(Concat({a, b, Slice(a, 0, 3)}));
    ASSERT_EQ(g_frames.size(), 2u);
    EXPECT_EQ(g_frames[0], a);
    EXPECT_EQ(g_frames[1], b);
    EXPECT_EQ(m_length.Buffered().GetSize(), 3);

    FeedLength(Slice(a, 3, a.GetSize()));
    ASSERT_EQ(g_frames.size(), 3u);
    EXPECT_EQ(g_frames[2], a);
    EXPECT_TRUE(m_length.Buffered().IsEmpty());
}

TEST_F(SplitterTest, LengthBelowTheHeadersDropsTheBufferedBytes) {
    FeedLength({0x01, 0x00, 0x00, 0x11, 0xAA, 0xBB});
    EXPECT_TRUE(g_frames.empty());
    EXPECT_TRUE(m_length.Buffered().IsEmpty());
    FeedLength({0x01, 0x00, 0x00, 0x00});
    EXPECT_TRUE(g_frames.empty());

    ByteArray a = MakeFrame({0, 0, 2, 0, 0, 0, 'z'}, false);
    FeedLength(a);
    ASSERT_EQ(g_frames.size(), 1u);
    EXPECT_EQ(g_frames[0], a);
}

// Cuts after a lone DLE: inside a stuffed pair, before ETX, before the next
// frame's STX, among every other cut.
TEST_F(SplitterTest, DleSplitterGivesTheSameFramesWhereverAChunkEnds) {
    const ByteArray data{0, 0, 2, 0, 0, 0, 0x10, 'x', 0x10, 0x10, 0x03, 0x10, 0x02};
    ByteArray a = MakeFrame(data, true);
    ByteArray b = MakeFrame({0, 0, 2, 0, 0, 0, 'q'}, true);
    ByteArray both = Concat({a, b});
    for (int cut = 1; cut < both.GetSize(); ++cut) {
        g_frames.clear();
        m_dle.Reset();
        FeedDle(Slice(both, 0, cut));
        FeedDle(Slice(both, cut, both.GetSize()));
        ASSERT_EQ(g_frames.size(), 2u) << "cut " << cut;
        EXPECT_EQ(g_frames[0], Unstuffed(a)) << "cut " << cut;
        EXPECT_EQ(g_frames[1], Unstuffed(b)) << "cut " << cut;
    }
    g_frames.clear();
    m_dle.Reset();
    for (int i = 0; i < both.GetSize(); ++i) FeedDle({both[i]});
    ASSERT_EQ(g_frames.size(), 2u);
    EXPECT_EQ(g_frames[1], Unstuffed(b));

    // Body unstuffed, DLE ETX and CRC as sent: the frame decodes.
    SequenceNumber seq;
    seq.Next();
    auto codec = BuildFrameCodec(seq);
    codec->SetLinkFraming(1);
    ByteArray decoded = g_frames[0];
    ASSERT_EQ(codec->Decode(decoded), 1);
    EXPECT_EQ(decoded, data);
}

// Also two complete frames in one chunk.
TEST_F(SplitterTest, DleSplitterPassesACrcByteOfDleUnexamined) {
    // Find payloads whose CRC holds 0x10 high and low.
    for (int wanted : {0, 1}) {
        ByteArray frame;
        for (int v = 0; v < 65536 && frame.IsEmpty(); ++v) {
            ByteArray f = MakeFrame({0, 0, 2, 0, 0, 0, uint8_t(v >> 8), uint8_t(v)}, true);
            if (f[f.GetSize() - 2 + wanted] == 0x10) frame = f;
        }
        ASSERT_FALSE(frame.IsEmpty());
        g_frames.clear();
        ByteArray next = MakeFrame({0, 0, 2, 0, 0, 0, 'n'}, true);
        FeedDle(Concat({frame, next}));
        ASSERT_EQ(g_frames.size(), 2u);
        EXPECT_EQ(g_frames[0], Unstuffed(frame));
        EXPECT_EQ(g_frames[1], Unstuffed(next));
    }
}

}  // namespace
}  // namespace varnock
