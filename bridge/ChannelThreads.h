#pragma once
// The thread functions of a channel. Each takes the channel and returns 0.
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
