#include "bridge/BridgeChannel.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

#include "bridge/ChannelThreads.h"
#include "bridge/FrameTrace.h"
#include "common/Messages.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"
#include "settings/SettingsManager.h"
#include "vport/VirtualPort.h"
#include "vport/VirtualPortFactory.h"

namespace varnock {

namespace {

// Teardown gives the monitor this long to acknowledge; every wait of the
// channel's threads ends at once on teardown, so it answers well within it.
constexpr auto kMonitorStopTimeout = std::chrono::seconds(2);

// A setting outside the range in which it can work gets its default.
int InRange(int value, int lowest, int highest, int fallback) {
    return value < lowest || value > highest ? fallback : value;
}

}  // namespace

BridgeChannel::BridgeChannel(ChannelConfig* config, SettingsManager* settings) : m_pSettings(settings) {
    m_linkHolder.SetStopEvent(&m_stop);
    m_msgWindow.Create(this);
    m_pCodec = BuildFrameCodec();
    m_pConfig.reset(config);
    if (m_pConfig) m_nLinkType = m_pConfig->m_nLinkType;

    ChannelConfig host;
    host.m_byDataBits = 7;  // the "CommunicationSettings" defaults
    if (settings) settings->ReadCommunicationSettings(&host);
    const std::string portName = m_pConfig ? m_pConfig->m_strVirtualPort : std::string();
    DriverOptions options(host.m_byDataBits, static_cast<int>(host.m_byParity));
    // Served over the network when the settings say so; a line that cannot
    // be read leaves the port a pty, which only this machine reaches.
    std::string portLabel = portName;
    if (settings) {
        std::string problem;
        const NetworkPortConfig network = settings->GetNetworkPort(portName, &problem);
        if (!problem.empty())
            platform::ShowMessage(kMsgNetworkPortInvalid, platform::kMbIconWarning, problem);
        if (network.Served()) {
            options.listenPort = network.port;
            options.listenAddress = network.address;
            options.allowedClients = network.allowed;
            m_strNetworkAddress = network.address + ":" + std::to_string(network.port);
            portLabel += " (TCP " + m_strNetworkAddress + ")";
        }
    }
    m_pVirtualPort = VirtualPortFactory::Instance().Create(1, options);
    bool portOpen = false;
    if (m_pVirtualPort) {
        m_pVirtualPort->SetOwner(*this);
        portOpen = m_pVirtualPort->Open(portName);
    }
    if (!portOpen) platform::ShowMessage(kMsgPortNotOpened, platform::kMbIconWarning, portLabel);

    m_bConfiguring = 0;
    m_bIdle = 1;
    m_bLDRDataUnProcessed = 0;
    m_hPLCDataQueueMutex = platform::OpenNamedMutex("PLCDataQueueMutex");
    m_hLDRDataQueueMutex = platform::OpenNamedMutex("LDRDataQueueMutex");

    m_bRunMonitor = 1;
    m_monitorThread = std::thread([this] { MonitorThread(this); });
}

BridgeChannel::~BridgeChannel() {
    StopThreads();
    // No thread uses the channel any more; the port's own event thread ends
    // with it.
    m_pVirtualPort.reset();
    m_pCodec.reset();
    m_pConfig.reset();
    ClearLDRList();
    ClearPLCList();
}

void BridgeChannel::AskThreadsToStop() {
    // Once only: the monitor answers the first request by setting
    // m_bRunMonitor back to 1, and ends.
    if (m_stop.IsSet()) return;
    // Every loop of the send phase ends when the channel is not connected,
    // the reply phase after the read under way, and every wait at once.
    m_bRunMonitor = 0;
    m_bConnected = 0;
    m_bEndReplyPhase = 1;
    m_stop.Set();
    m_monitorWake.Set();
}

void BridgeChannel::StopThreads() {
    AskThreadsToStop();
    // Waiting senders get 0 from now on, so no thread waits for the main
    // thread while it tears the channel down.
    m_msgWindow.Destroy();
    auto deadline = std::chrono::steady_clock::now() + kMonitorStopTimeout;
    while (m_bRunMonitor.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (m_monitorThread.joinable()) m_monitorThread.join();
    // A read under way ends within its slice; the closed link ends any
    // further one at once.
    CloseLink();
    m_workers.JoinAll();
}

void BridgeChannel::StartWorker(unsigned (*thread)(BridgeChannel*)) {
    m_workers.Start([this, thread] { thread(this); });
}

// Waits beyond the reply phase's own silence limit would hold the host's
// next request back for longer than any host waits; they are taken for
// mistakes. A pause of the host below 0 works as 0 does.
int BridgeChannel::MaxTimeBetweenLDRData() const {
    return m_pSettings ? InRange(m_pSettings->GetMaxTimeBetweenLDRData(), INT_MIN, kMaxSilenceMs / 10, 10)
                       : 10;
}
int BridgeChannel::BlockTransferSizeInBytes() const {
    // Below 1 it would send empty blocks for ever.
    int size = m_pSettings ? InRange(m_pSettings->GetBlockTransferSizeInBytes(), 1, INT_MAX, 1024) : 1024;
    return std::min(size, kMaxBlockSize);
}
int BridgeChannel::PLCDataMonitorTime() const {
    // At 0 or below the silence limit is never reached.
    return m_pSettings ? InRange(m_pSettings->GetPLCDataMonitorTime(), 1, kMaxSilenceMs, 50) : 50;
}
int BridgeChannel::PLCDataMonitorTime_USB() const {
    return m_pSettings ? InRange(m_pSettings->GetPLCDataMonitorTime_USB(), 1, kMaxSilenceMs, 50) : 50;
}
int BridgeChannel::PLCDataBytesToReadInMonitorTime() const {
    // Reads of no byte would never bring a reply. The links read into a
    // buffer of kMaxReadCount bytes.
    constexpr int kMaxReadCount = 4096;
    int count = m_pSettings ? InRange(m_pSettings->GetPLCDataBytesToReadInMonitorTime(), 1, INT_MAX, 20) : 20;
    return std::min(count, kMaxReadCount);
}
int BridgeChannel::PlcBaudRate() const {
    return m_pSettings ? m_pSettings->GetBaudRate() : 9600;
}
int BridgeChannel::WaitAfterACCommand_ACK() const {
    return m_pSettings ? InRange(m_pSettings->GetWaitAfterACCommand_ACK(), INT_MIN, kMaxSilenceMs, 50) : 50;
}

void BridgeChannel::SyncCommParams() {
    // Sent now, its exchange would read the link under the receive thread's
    // reads and move the sequence number past the rest of the reply.
    if (m_bConnected) {
        m_bCommParamsPending = 1;
        WakeMonitor();
    }
}

bool BridgeChannel::LDRListEmpty() {
    std::lock_guard<std::recursive_mutex> lock(*m_hLDRDataQueueMutex);
    return m_ldrDataList.empty();
}

namespace {

int64_t Cost(const ByteArray& chunk) {
    return chunk.GetSize() + BridgeChannel::kChunkCost;
}

// These three with the list's queue mutex held.

// The list's head, with its cost taken off the count.
std::unique_ptr<ByteArray> TakeHead(BridgeChannel::ChunkList& list, std::atomic<int64_t>& queued) {
    if (list.empty()) return nullptr;
    auto head = std::move(list.front());
    list.pop_front();
    queued -= Cost(*head);
    return head;
}

void Push(BridgeChannel::ChunkList& list, std::atomic<int64_t>& queued, std::unique_ptr<ByteArray> chunk) {
    queued += Cost(*chunk);
    list.push_back(std::move(chunk));
}

void Clear(BridgeChannel::ChunkList& list, std::atomic<int64_t>& queued) {
    list.clear();
    queued = 0;
}

}  // namespace

std::unique_ptr<ByteArray> BridgeChannel::TakeLDRHead() {
    std::lock_guard<std::recursive_mutex> lock(*m_hLDRDataQueueMutex);
    return TakeHead(m_ldrDataList, m_nLDRQueued);
}

void BridgeChannel::ClearLDRList() {
    std::lock_guard<std::recursive_mutex> lock(*m_hLDRDataQueueMutex);
    Clear(m_ldrDataList, m_nLDRQueued);
}

void BridgeChannel::PushPLCChunk(std::unique_ptr<ByteArray> chunk) {
    std::lock_guard<std::recursive_mutex> lock(*m_hPLCDataQueueMutex);
    Push(m_plcDataList, m_nPLCQueued, std::move(chunk));
}

std::unique_ptr<ByteArray> BridgeChannel::TakePLCHead(bool* wasEmpty) {
    std::lock_guard<std::recursive_mutex> lock(*m_hPLCDataQueueMutex);
    *wasEmpty = m_plcDataList.empty();
    return TakeHead(m_plcDataList, m_nPLCQueued);
}

void BridgeChannel::ClearPLCList() {
    std::lock_guard<std::recursive_mutex> lock(*m_hPLCDataQueueMutex);
    Clear(m_plcDataList, m_nPLCQueued);
}

void BridgeChannel::QueueLDRData(int length, const char* bytes) {
    auto chunk = std::make_unique<ByteArray>(reinterpret_cast<const uint8_t*>(bytes), length);
    TraceFrame(*this, TraceDirection::FromHost, *chunk);
    {
        std::lock_guard<std::recursive_mutex> lock(*m_hLDRDataQueueMutex);
        Push(m_ldrDataList, m_nLDRQueued, std::move(chunk));
    }
    m_bLDRDataUnProcessed = 1;
    WakeMonitor();
}

int BridgeChannel::SendLDRData(ByteArray* block) {
    if (!block) return 0;
    auto& bytes = block->bytes();
    bytes.insert(bytes.begin(), std::begin(plc::kRequestPrefix), std::end(plc::kRequestPrefix));
    return Exchange(*block, 0);
}

int BridgeChannel::DeliverPLCFrame(ByteArray* frame) {
    if (!frame) return 0;
    TraceFrame(*this, TraceDirection::FromPlc, *frame);
    int result = 0;
    if (m_pCodec->Decode(*frame) == 1) {
        if (frame->IsEmpty()) {
            result = 1;
        } else if (frame->GetSize() >= plc::kPrefixSize &&
                   std::memcmp(frame->data(), plc::kReplyPrefix, plc::kPrefixSize) == 0) {
            frame->RemoveHead(plc::kPrefixSize);
            m_replyData = *frame;
            // A driver that fails leaves the host without an answer.
            if (m_pVirtualPort) m_pVirtualPort->Write(m_replyData);
            result = 1;
        }
    }
    frame->RemoveAll();
    return result;
}

void BridgeChannel::RepliesLost(int64_t bytes) {
    std::fprintf(stderr,
                 "varnock: %s: %lld bytes of the PLC's replies lost: the host reads slower than the line "
                 "brings them\n",
                 m_pConfig ? m_pConfig->m_strVirtualPort.c_str() : "", static_cast<long long>(bytes));
    TraceLoss(*this, static_cast<int>(std::min<int64_t>(bytes, INT_MAX)));
    m_status.RepliesLost();
}

int BridgeChannel::ReadLink(ReadLinkRequest* request) {
    if (!request || !request->buffer) return 0;
    uint32_t got = 0;
    int result =
        m_linkHolder.Read(*request->buffer, request->count, &got, static_cast<uint32_t>(request->timeoutMs));
    if (request->received) *request->received = static_cast<int>(got);
    return result;
}

}  // namespace varnock
