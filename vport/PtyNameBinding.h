#pragma once
// A name of the device directory bound to a pty of ours: DIR/NAME is a
// symbolic link to the slave, held while the lock file DIR/.NAME.lock is
// locked, with the host library's socket beside it.
//
// A link into /dev/pts with that lock file beside it and nobody holding the
// lock was left by a process that died: it is stale and may be taken over.
// Anything else at the name (a file, a link without our lock file such as a
// user's socat, a live binding) is never touched.
#include <filesystem>
#include <memory>
#include <string>

#include "platform/LocalDatagram.h"
#include "platform/Pty.h"
#include "vport/DriverInterface.h"

namespace varnock {

struct PtyNameBinding {
    // Binds `name` in `dir`: a free name, or a stale link of ours (only that
    // with `takeOverOnly`). None when the name cannot be had; `*hr` then
    // tells of a failure that is no taken name.
    static std::unique_ptr<PtyNameBinding> Acquire(const std::filesystem::path& dir, const std::string& name,
                                                   bool takeOverOnly, HRESULT* hr);
    // Removes our link (only ours: somebody may have put something else
    // there since), the socket and the lock file; the pty closes before the
    // lock is let go.
    ~PtyNameBinding();
    PtyNameBinding(const PtyNameBinding&) = delete;
    PtyNameBinding& operator=(const PtyNameBinding&) = delete;

    // A new pty with the settings of the old one takes over the name. When
    // another process took the name meanwhile, the port keeps the old pty
    // and has no name any more, as when its link is removed by hand.
    void RenewPty();

    std::string name;
    std::filesystem::path link;
    std::unique_ptr<platform::Pty> pty;
    // The host library's messages; none when the path is too long for a
    // socket (the port then works on the pty's settings alone).
    std::unique_ptr<platform::LocalDatagramSocket> hostSocket;
    bool inService = false;

private:
    PtyNameBinding() = default;
    std::unique_ptr<platform::DeviceNameLock> m_lock;
};

}  // namespace varnock
