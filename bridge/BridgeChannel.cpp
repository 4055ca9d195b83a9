#include "bridge/BridgeChannel.h"

#include <chrono>
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

// Teardown gives the channel's threads this long to see the flags and end.
constexpr auto kThreadStopTimeout = std::chrono::seconds(10);

}  // namespace

BridgeChannel::BridgeChannel(ChannelConfig* config, SettingsManager* settings) : m_pSettings(settings) {
    m_msgWindow.Create(this);
    m_pCodec = BuildFrameCodec();
    m_pConfig.reset(config);
    if (m_pConfig) m_nLinkType = m_pConfig->m_nLinkType;

    ChannelConfig host;
    host.m_byDataBits = 7;  // the "CommunicationSettings" defaults
    if (settings) settings->ReadCommunicationSettings(&host);
    m_pVirtualPort =
        VirtualPortFactory::Instance().Create(1, host.m_byDataBits, static_cast<int>(host.m_byParity));
    bool portOpen = false;
    if (m_pVirtualPort) {
        m_pVirtualPort->SetOwner(*this);
        portOpen = m_pVirtualPort->Open(m_pConfig ? m_pConfig->m_strVirtualPort : std::string());
    }
    if (!portOpen) {
        platform::ShowMessage(kMsgPortNotOpened, platform::kMbOk,
                              m_pConfig ? m_pConfig->m_strVirtualPort : std::string());
    }

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

void BridgeChannel::StopThreads() {
    // Every loop of the send and reply phase ends when the channel is not
    // connected.
    m_bRunMonitor = 0;
    m_bConnected = 0;
    // Waiting senders get 0 from now on, so no thread waits for the main
    // thread while it tears the channel down.
    m_msgWindow.Destroy();
    auto deadline = std::chrono::steady_clock::now() + kThreadStopTimeout;
    while (m_bRunMonitor.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (m_monitorThread.joinable()) m_monitorThread.join();
    m_workers.WaitAll(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
    m_workers.JoinAll();
}

void BridgeChannel::StartWorker(unsigned (*thread)(BridgeChannel*)) {
    m_workers.Start([this, thread] { thread(this); });
}

int BridgeChannel::MaxTimeBetweenLDRData() const {
    return m_pSettings ? m_pSettings->GetMaxTimeBetweenLDRData() : 10;
}
int BridgeChannel::BlockTransferSizeInBytes() const {
    return m_pSettings ? m_pSettings->GetBlockTransferSizeInBytes() : 1024;
}
int BridgeChannel::PLCDataMonitorTime() const {
    return m_pSettings ? m_pSettings->GetPLCDataMonitorTime() : 50;
}
int BridgeChannel::PLCDataMonitorTime_USB() const {
    return m_pSettings ? m_pSettings->GetPLCDataMonitorTime_USB() : 50;
}
int BridgeChannel::PLCDataBytesToReadInMonitorTime() const {
    return m_pSettings ? m_pSettings->GetPLCDataBytesToReadInMonitorTime() : 20;
}
int BridgeChannel::PlcBaudRate() const {
    return m_pSettings ? m_pSettings->GetBaudRate() : 9600;
}
int BridgeChannel::WaitAfterACCommand_ACK() const {
    return m_pSettings ? m_pSettings->GetWaitAfterACCommand_ACK() : 50;
}

void BridgeChannel::SyncCommParams() {
    if (m_bConnected) m_msgWindow.SendMessage(WM_CHANNEL_SYNC_COMM_PARAMS, 0, 0);
}

bool BridgeChannel::LDRListEmpty() {
    std::lock_guard<std::recursive_mutex> lock(*m_hLDRDataQueueMutex);
    return m_ldrDataList.empty();
}

std::unique_ptr<ByteArray> BridgeChannel::TakeLDRHead() {
    std::lock_guard<std::recursive_mutex> lock(*m_hLDRDataQueueMutex);
    if (m_ldrDataList.empty()) return nullptr;
    auto head = std::move(m_ldrDataList.front());
    m_ldrDataList.pop_front();
    return head;
}

void BridgeChannel::ClearLDRList() {
    std::lock_guard<std::recursive_mutex> lock(*m_hLDRDataQueueMutex);
    m_ldrDataList.clear();
}

void BridgeChannel::PushPLCChunk(std::unique_ptr<ByteArray> chunk) {
    std::lock_guard<std::recursive_mutex> lock(*m_hPLCDataQueueMutex);
    m_plcDataList.push_back(std::move(chunk));
}

std::unique_ptr<ByteArray> BridgeChannel::TakePLCHead(bool* wasEmpty) {
    std::lock_guard<std::recursive_mutex> lock(*m_hPLCDataQueueMutex);
    *wasEmpty = m_plcDataList.empty();
    if (*wasEmpty) return nullptr;
    auto head = std::move(m_plcDataList.front());
    m_plcDataList.pop_front();
    return head;
}

void BridgeChannel::ClearPLCList() {
    std::lock_guard<std::recursive_mutex> lock(*m_hPLCDataQueueMutex);
    m_plcDataList.clear();
}

void BridgeChannel::QueueLDRData(int length, const char* bytes) {
    auto chunk = std::make_unique<ByteArray>(reinterpret_cast<const uint8_t*>(bytes), length);
    TraceFrame(*this, TraceDirection::FromHost, *chunk);
    {
        std::lock_guard<std::recursive_mutex> lock(*m_hLDRDataQueueMutex);
        m_ldrDataList.push_back(std::move(chunk));
    }
    m_bLDRDataUnProcessed = 1;
}

int BridgeChannel::SendLDRData(ByteArray* block) {
    if (!block) return 0;
    auto& bytes = block->bytes();
    bytes.insert(bytes.begin(), std::begin(kRequestPrefix), std::end(kRequestPrefix));
    return Exchange(*block, 0);
}

int BridgeChannel::DeliverPLCFrame(ByteArray* frame) {
    if (!frame) return 0;
    TraceFrame(*this, TraceDirection::FromPlc, *frame);
    int result = 0;
    if (m_pCodec->Decode(*frame) == 1) {
        if (frame->IsEmpty()) {
            result = 1;
        } else if (frame->GetSize() >= 6 && std::memcmp(frame->data(), kReplyPrefix, 6) == 0) {
            frame->RemoveHead(6);
            m_replyData = *frame;
            try {
                if (m_pVirtualPort) m_pVirtualPort->Write(m_replyData);
            } catch (...) {
                // A driver error must not end the main thread; the host sees no answer.
            }
            result = 1;
        }
    }
    frame->RemoveAll();
    return result;
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
