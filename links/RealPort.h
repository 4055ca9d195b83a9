#pragma once
// The one interface every kind of PLC link offers to the bridge engine.
#include <cstdint>
#include <functional>

#include "common/ByteArray.h"
#include "common/ChannelConfig.h"
#include "links/LinkFailure.h"

namespace varnock {

// A platform device handle (a file descriptor here).
using DeviceHandle = int;
inline constexpr DeviceHandle INVALID_HANDLE_VALUE = -1;

// What a link asks of its owner. The defaults act at once; the link holder
// lets other channels' links work during a wait and shows a message only
// after its lock is released.
class LinkHooks {
public:
    virtual ~LinkHooks() = default;
    // Runs `wait`, which moves no data on this or any other link: a
    // reconnect's handshake.
    virtual void Wait(const std::function<void()>& wait) { wait(); }
    // A pause that moves no data: before a reconnect, between the looks of
    // a read for data. True when the owner is going away (the pause may
    // then end early).
    virtual bool Pause(uint32_t ms);
    // The pause of a read that has nothing yet: as Pause, but on the system
    // clock `arrived(ms)` waits instead, ending as soon as bytes arrive.
    // Tests that drive the clock get the plain pause.
    virtual bool PauseForData(uint32_t ms, const std::function<bool(uint32_t)>& arrived);
    // A message for the user, by string-table number.
    virtual void Notify(int message, unsigned style);
    // True while the owner wants the link's waits over: a handshake under
    // way then gives up.
    virtual bool Stopping() { return false; }

    // The hooks of a link without an owner.
    static LinkHooks& Direct();
};

// The result of opening a link. The numbers are fixed: a connect passes
// them on as its own result.
enum class OpenResult : int { Failed = 0, Ok = 1, AccessDenied = 104, MultipleDevices = 105 };

class RealPort {
public:
    static constexpr OpenResult OPEN_FAILED = OpenResult::Failed;
    static constexpr OpenResult OPEN_OK = OpenResult::Ok;
    static constexpr OpenResult OPEN_ACCESS_DENIED = OpenResult::AccessDenied;
    static constexpr OpenResult OPEN_MULTIPLE_DEVICES = OpenResult::MultipleDevices;

    // Purge arguments.
    static constexpr uint8_t PURGE_BOTH = 1;  // output first, then input
    static constexpr uint8_t PURGE_OUTPUT = 2;
    static constexpr uint8_t PURGE_INPUT = 3;

    RealPort() = default;
    RealPort(const RealPort&) = delete;
    RealPort& operator=(const RealPort&) = delete;
    virtual ~RealPort() = default;

    // Anything but OPEN_OK leaves the reason in Failure().
    virtual OpenResult Open(const ChannelConfig& config) = 0;
    // Line reset sequence; 1 on success.
    virtual int ResetLine() = 0;
    // Applies the line settings of `config`; 1 on success.
    virtual int Configure(const ChannelConfig& config) = 0;
    // Always 1; closing a closed link does nothing.
    virtual int Close() = 0;
    virtual int Purge(uint8_t which) = 0;
    // Appends at most `count` bytes to `buffer` (never clears it) and sets
    // `received` to their number. 1 while the link works, also when fewer
    // bytes or none arrived within `timeoutMs`.
    virtual int Read(ByteArray& buffer, int count, uint32_t& received, uint32_t timeoutMs) = 0;
    // Sends the first `count` bytes of `buffer`; `sent` is what the link took.
    virtual int Write(const ByteArray& buffer, int count, uint32_t& sent, uint32_t timeoutMs) = 0;

    DeviceHandle Device() const { return m_hDevice; }
    // Why the last Open failed, as far as the system said.
    const LinkFailure& Failure() const { return m_failure; }
    void SetFailure(LinkFailure failure) { m_failure = std::move(failure); }
    // nullptr: the direct hooks. The owner keeps ownership.
    void SetHooks(LinkHooks* hooks) { m_pHooks = hooks ? hooks : &LinkHooks::Direct(); }

protected:
    LinkHooks& Hooks() const { return *m_pHooks; }
    // A pause through the hooks; true when the owner is going away.
    bool Pause(uint32_t ms) { return Hooks().Pause(ms); }

    DeviceHandle m_hDevice = INVALID_HANDLE_VALUE;
    LinkFailure m_failure;

private:
    LinkHooks* m_pHooks = &LinkHooks::Direct();
};

}  // namespace varnock
