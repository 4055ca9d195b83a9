#pragma once
// The thread functions of a channel. Each takes the channel and returns 0.
//
// The threads of the process, who starts and ends each, and what it waits on:
// - main: runs the message loop (MessageLoop::Main); every exchange with a
//   PLC, connect and disconnect runs here as a sent message. Waits in Pump
//   for the next message; varnockd's (PumpOnClock) also until a reconnect
//   is due on the process clock, woken by the stop watcher's message.
// - monitor, one per channel: started by the channel's constructor, ended
//   and joined by StopThreads (m_bRunMonitor 0). Sleeps on its wake event
//   until a flag it acts on changes (see BridgeChannel) or its next probe
//   is due; starts the send thread when host bytes wait, probes an idle
//   Ethernet link every 30 s through the main thread, declares the link
//   lost after 4 failures.
// - send, one per host request: started by the monitor, ends when the host
//   has paused for MaxTimeBetweenLDRData, the channel is disconnected or the
//   port closed; each block is a sent message (the main thread's exchange,
//   100 ms link timeouts). Starts receive and process before it ends.
// - receive, one per reply phase: timed reads of PLCDataMonitorTime ms
//   in slices; ends after kMaxSilenceMs of silence, new host bytes, a
//   disconnect or m_bEndReplyPhase. Pauses in 10 ms steps while the PLC
//   queue is full.
// - process, one per reply phase: waits on m_hPLCDataReadEventSem, with no
//   bound of its own: receive always releases it once more as it ends. Each
//   frame goes to the main thread as a sent message, after waiting for room
//   in the host's port in 10 ms steps.
//   StopThreads joins send, receive and process (WorkerThreads::JoinAll)
//   after closing the link, which ends a read under way.
// - the pty driver's one for all virtual ports (PtyPortWaiter: started
//   with the first port in service, joined as the last leaves it). Waits
//   on one epoll set: the masters of the ports a host has open, the host
//   library's sockets, one inotify instance for the slaves' opens and
//   closes, a wake event. Serves one port at a time: its events (data
//   arrived, host open and close, settings changed), the next session
//   readied at a close, the host library's messages, queued bytes moved
//   to the pty as it takes them. Ticks every 50 ms only while a host has
//   a port open (a pty reports no settings change) or its bytes wait
//   untaken.
// - the trace writer (StartFrameTrace to StopFrameTrace) waits on its queue;
//   varnockd's stop watcher waits on the stop pipe and is joined when the
//   main loop ends.
//
// Lock order, outermost first; no other lock is held while one of these is
// taken:
//   RealPortRegistry::m_linkLock -> the process-wide link turn (LinkTurns) ->
//   the named mutex "RealPortMutex". A link's wait without data gives the
//   last two back and takes them again, keeping m_linkLock.
//   ChannelStatus::m_lock -> the main loop's queue (a posted report).
//   The pty driver's binding lock -> its host lock.
//   The pty driver's output queue lock -> its host lock, the main loop's
//   queue (a posted renewal of the pty), and PtyPortWaiter::m_lock (a
//   wake for the queued bytes). The waiter holds m_lock around no pass.
// Leaves, held only for a list operation: the LDR and PLC queue mutexes,
// WorkerThreads::m_lock, the registry's notice lock, the driver's sink
// lock, the trace queue's lock. A thread never waits for the main
// thread while it holds any of them.
namespace varnock {

class BridgeChannel;

// Runs for the channel's whole life: starts sends, probes idle Ethernet
// links, declares a dead one lost.
unsigned MonitorThread(BridgeChannel* channel);
// Gathers one host request and forwards it in blocks, then starts the
// reply phase.
unsigned SendDataThread(BridgeChannel* channel);
// Reply phase: reads the link in timed reads and queues the chunks.
unsigned ReceiveDataThread(BridgeChannel* channel);
// Reply phase: cuts the chunks into frames and has each delivered.
unsigned ProcessDataThread(BridgeChannel* channel);

}  // namespace varnock
