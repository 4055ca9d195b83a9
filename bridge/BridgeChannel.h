#pragma once
// One virtual port tied to one PLC link: its config, codec, virtual port,
// link holder, queues, flags and threads. The flags are shared by the
// monitor, send, reply-phase and driver-event threads; the monitor sleeps
// until one that it acts on changes.
#include <atomic>
#include <climits>
#include <cstdint>
#include <list>
#include <memory>
#include <semaphore>
#include <thread>

#include "bridge/ChannelStatus.h"
#include "bridge/MessagingWindow.h"
#include "bridge/RealPortRegistry.h"
#include "bridge/WorkerThreads.h"
#include "common/ByteArray.h"
#include "common/ChannelConfig.h"
#include "links/FrameCodec.h"
#include "platform/Clock.h"
#include "platform/NamedMutex.h"
#include "vport/VirtualPortOwner.h"

namespace varnock {

class VirtualPort;
class SettingsManager;
class MainWindowLink;

class BridgeChannel : public VirtualPortOwner {
public:
    using ChunkList = std::list<std::unique_ptr<ByteArray>>;
    using ChunkSemaphore = std::counting_semaphore<INT_MAX>;

    // Reply phase ends after more than this much accumulated silence.
    static constexpr int kMaxSilenceMs = 20000;
    static constexpr uint32_t kLinkTimeoutMs = 100;
    // What each queue may hold before its reader pauses, counting the bytes
    // and per chunk what its array, list node and their allocations cost.
    // The host's requests are small (a UART at 115200 baud fills 1 MiB in a
    // minute and a half); a PLC's reply may be long.
    static constexpr int64_t kLDRQueueCap = 1024 * 1024;
    static constexpr int64_t kPLCQueueCap = 4 * 1024 * 1024;
    static constexpr int64_t kChunkCost = 96;
    // The most host bytes one frame carries.
    static constexpr int kMaxBlockSize = plc::kMaxPassThroughData;

    // Takes ownership of `config`. `settings`, when given, supplies the
    // host-side data bits and parity that the virtual port reports.
    explicit BridgeChannel(ChannelConfig* config, SettingsManager* settings = nullptr);
    virtual ~BridgeChannel();
    BridgeChannel(const BridgeChannel&) = delete;
    BridgeChannel& operator=(const BridgeChannel&) = delete;

    void SetSettings(SettingsManager* settings) { m_pSettings = settings; }
    MessagingWindow& Window() { return m_msgWindow; }
    const ChannelConfig* Config() const { return m_pConfig.get(); }
    VirtualPort* Port() const { return m_pVirtualPort.get(); }
    // "address:port" the port is served on over the network; empty for a pty.
    const std::string& NetworkAddress() const { return m_strNetworkAddress; }
    RealPortRegistry& LinkHolder() { return m_linkHolder; }

    // Exchange with the PLC and its commands (main thread).
    int Exchange(ByteArray& request, int replyLength);
    // The exchange of a control command: header bytes 1 and 2 are 0x00 for
    // it and back to their defaults after it.
    int ExchangeControlCommand(int replyLength);
    int SendConnectCommand(int disconnect);
    int SendCommParams(int force);
    int SendBaudRateCommand(int baudRate);
    // Virtual so that tests can answer the probes.
    virtual int SendProbe();
    int ConnectChannel();
    // Why the last connect could not open the link; empty when it could.
    const std::string& ConnectFailure() const { return m_strConnectFailure; }
    int DisconnectChannel();
    void CloseLink();

    // Host side.
    void QueueLDRData(int length, const char* bytes) override;
    // Prefixes the block and writes it; the block is empty afterwards.
    int SendLDRData(ByteArray* block);

    // Reply phase: decodes a frame and writes the host's bytes into the
    // virtual port; the frame is empty afterwards.
    int DeliverPLCFrame(ByteArray* frame);
    int ReadLink(ReadLinkRequest* request);
    void SetMainWindowLink(MainWindowLink* window) { m_pMainWindow = window; }
    MainWindowLink* MainWindow() const { return m_pMainWindow.load(); }
    ChannelStatus& Status() { return m_status; }
    // Says that `bytes` of the PLC's replies were dropped: on stderr, in the
    // trace and in the channel's status.
    void RepliesLost(int64_t bytes);

    // The link type in force for the worker threads (set at connect).
    LinkType ActiveLinkType() const { return m_nLinkType.load(); }
    // Starts a send or reply-phase thread of this channel.
    void StartWorker(unsigned (*thread)(BridgeChannel*));
    int RunningWorkers() const { return m_workers.Running(); }
    // The first step of the teardown, which waits for nothing: the threads
    // start to end. The owner of many channels asks them all before it
    // deletes the first, so that they end side by side.
    void AskThreadsToStop();

    // Settings, with their defaults while none are set. A value that cannot
    // work is replaced by the default or capped (see the README).
    int MaxTimeBetweenLDRData() const;
    int BlockTransferSizeInBytes() const;
    int PLCDataMonitorTime() const;
    int PLCDataMonitorTime_USB() const;
    int PLCDataBytesToReadInMonitorTime() const;
    int PlcBaudRate() const;
    int WaitAfterACCommand_ACK() const;

    // Driver events (VirtualPortOwner).
    bool IsConnected() const override { return m_bConnected.load() != 0; }
    bool LDRQueueFull() const override { return m_nLDRQueued.load() > kLDRQueueCap; }
    void SetVirtualPortClosed(int closed) override {
        m_bVirtualPortClosed = closed ? 1 : 0;
        m_status.HostPort(closed == 0);
    }
    // Marks the change; the monitor sends it once no exchange runs.
    void SyncCommParams() override;

    // List operations under the queue mutexes.
    bool LDRListEmpty();
    std::unique_ptr<ByteArray> TakeLDRHead();
    void ClearLDRList();
    void PushPLCChunk(std::unique_ptr<ByteArray> chunk);
    // Empty when the list was empty.
    std::unique_ptr<ByteArray> TakePLCHead(bool* wasEmpty);
    void ClearPLCList();
    bool PLCQueueFull() const { return m_nPLCQueued.load() > kPLCQueueCap; }

    // The waits of the channel's threads: `ms` on the process clock, cut
    // short when the channel is torn down. True when it is.
    bool Pause(uint32_t ms) { return platform::Sleep(ms, m_stop); }
    // Wakes the monitor: each change of a flag that it acts on calls this.
    void WakeMonitor() { m_monitorWake.Set(); }
    // The monitor's sleep: until woken or `ms` of the process clock have
    // passed (platform::WakeSignal::kForever: no limit).
    void WaitForWork(uint32_t ms) { m_monitorWake.Wait(ms); }
    // The reply phase must end now, whatever the PLC sends.
    bool ReplyPhaseMustEnd() const { return m_bEndReplyPhase.load() != 0; }

    ByteArray m_replyData;
    ByteArray m_requestData;
    ChannelConfig m_commParams;

    // The channel's state: flags, each written at fixed points and polled by
    // the others. Who: main (the window's handlers on the main thread),
    // monitor, send, receive, process (the channel's threads), driver (the
    // virtual port's event thread), teardown.
    //
    // m_bIdle                1: no exchange with the PLC runs.
    //                        0 by monitor as it starts a send or the probing.
    //                        1 by process at the end of a reply phase, by send when it
    //                        failed, by monitor when probing stops or the link is lost.
    //                        Read by monitor; disconnect (main) waits for 1.
    // m_bConnected           1: connected, the link open and host bytes taken.
    //                        1 by main (connect); 0 by main (disconnect), monitor
    //                        (link lost), teardown. Read by every one.
    // m_bLDRDataUnProcessed  1: host bytes wait to be sent.
    //                        1 by driver (bytes queued) and by send (more came while
    //                        it finished); 0 by send once it has forwarded them.
    //                        Read by monitor (starts send) and receive (ends the phase).
    // m_bVirtualPortClosed   1: the host has closed its port. Written by driver; read
    //                        by send (stops) and receive (ends at its next empty read).
    // m_bConfiguring         1: the serial-parameter command is under way. Written by
    //                        main; send waits for 0 before it starts.
    // m_bRunMonitor          1: the monitor goes on. Teardown sets 0; the monitor
    //                        sets 1 again as it ends, the answer teardown waits for.
    // m_bCommParamsPending   1: the host changed its line settings. 1 by driver (while
    //                        connected); 0 by main (connect) and by monitor, which
    //                        sends the change while no exchange runs (idle or probing)
    //                        and before it starts a send.
    // m_bEndReplyPhase       1: the reply phase ends after the read under way, even
    //                        when bytes came. 1 by main (disconnect that gave up
    //                        waiting for idle) and teardown; 0 by main (connect).
    //                        Read by receive.
    // m_stop                 set once, by teardown: every wait of the channel's
    //                        threads (Pause) ends at once.
    //
    // Whoever sets idle 1, unprocessed 1 (driver), comm params pending 1,
    // connected (main) or run monitor 0 wakes the monitor (WakeMonitor); it
    // sleeps until then, or until its next probe is due.
    //
    // One request: idle, connected, host bytes queued -> monitor starts send
    // (idle 0) -> send forwards the bytes (unprocessed 0) and starts receive
    // and process -> the reply phase ends -> process sets idle 1. An Ethernet
    // channel left idle is probed by the monitor (idle 0 while probing) until
    // host bytes come or the link is lost.
    std::atomic<int> m_bConfiguring{0};
    std::atomic<int> m_bRunMonitor{1};
    std::atomic<int> m_bIdle{1};
    std::atomic<int> m_bVirtualPortClosed{0};
    std::atomic<int> m_bLDRDataUnProcessed{0};
    std::string m_strConnectFailure;  // main thread only
    std::atomic<int> m_bConnected{0};
    std::atomic<int> m_bCommParamsPending{0};
    std::atomic<int> m_bEndReplyPhase{0};
    // One count per chunk in m_plcDataList, and one when receive ends. The
    // channel's own: a count released by one channel wakes no other.
    ChunkSemaphore m_hPLCDataReadEventSem{0};

private:
    bool ReadSerialReply(ByteArray& reply, int expected);
    // Serves the channel windows until the channel is idle or `limitMs` of
    // the process clock have passed; a stop of the process cuts the wait
    // short. True when idle.
    bool WaitForIdle(uint32_t limitMs);
    void StopThreads();

    std::unique_ptr<VirtualPort> m_pVirtualPort;
    std::string m_strNetworkAddress;
    std::unique_ptr<ChannelConfig> m_pConfig;
    SettingsManager* m_pSettings = nullptr;
    std::unique_ptr<FrameLayer> m_pCodec;
    MessagingWindow m_msgWindow;
    std::atomic<MainWindowLink*> m_pMainWindow{nullptr};
    ChannelStatus m_status{m_pMainWindow};
    ChunkList m_plcDataList;
    ChunkList m_ldrDataList;
    // What each list holds, as counted against its cap; changed under the
    // list's mutex, read without it.
    std::atomic<int64_t> m_nPLCQueued{0};
    std::atomic<int64_t> m_nLDRQueued{0};
    platform::StopEvent m_stop;
    platform::WakeSignal m_monitorWake;
    // Opened by name, so every channel of the process shares the same two:
    // the short list operations of all channels exclude each other, which
    // costs little as each is held around one list operation only.
    platform::NamedMutexHandle m_hLDRDataQueueMutex;
    platform::NamedMutexHandle m_hPLCDataQueueMutex;
    // Its "RealPortMutex" is one for the process: every open, close, read and
    // write of every channel's link takes turns; a read waiting for data and
    // a pause give the turn up meanwhile (see RealPortRegistry). Its pauses
    // end with m_stop.
    RealPortRegistry m_linkHolder;
    std::atomic<LinkType> m_nLinkType{LinkType::Serial};
    WorkerThreads m_workers;
    std::thread m_monitorThread;
};

}  // namespace varnock
