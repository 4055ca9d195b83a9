#include "vport/PtyNameBinding.h"

#include "common/LinkTypes.h"
#include "platform/Paths.h"

namespace varnock {
namespace fs = std::filesystem;
using platform::DeviceEntryKind;

std::unique_ptr<PtyNameBinding> PtyNameBinding::Acquire(const fs::path& dir, const std::string& name,
                                                        bool takeOverOnly, HRESULT* hr) {
    *hr = S_OK;
    const fs::path link = dir / name;
    // A link into /dev/pts is taken over only when it is ours and stale: our
    // lock file lies beside it (so it is never made for one) and nobody holds
    // it. A free name may reuse a lock file left without its link.
    const platform::DeviceEntry seen = platform::InspectDeviceEntry(link);
    const bool stale = seen.kind == DeviceEntryKind::PtyLink;
    if (seen.kind == DeviceEntryKind::Other || (!stale && takeOverOnly)) return nullptr;
    std::unique_ptr<platform::DeviceNameLock> lock;
    if (platform::DeviceNameLock::TryAcquire(platform::DeviceLockFile(link), !stale, lock) !=
        platform::Error::None)
        return nullptr;
    // The lock file goes unless the stale link it marks is still there.
    auto giveUp = [&](HRESULT failure) {
        platform::DeviceEntry now = platform::InspectDeviceEntry(link);
        if (!stale || now.kind != DeviceEntryKind::PtyLink || now.target != seen.target) lock->RemoveFile();
        *hr = failure;
        return nullptr;
    };

    std::unique_ptr<platform::Pty> pty;
    platform::Error error = platform::Pty::Create(pty);
    if (error != platform::Error::None) return giveUp(HresultFromErrno(error.SystemCode()));
    if (stale) platform::RemoveDeviceLinkIfTarget(link, seen.target);
    error = platform::CreateDeviceLink(link, pty->SlavePath());
    if (error != platform::Error::None)
        return giveUp(error == platform::Error::AlreadyExists ? S_OK : HresultFromErrno(error.SystemCode()));

    std::unique_ptr<PtyNameBinding> binding(new PtyNameBinding);
    binding->name = name;
    binding->link = link;
    binding->m_lock = std::move(lock);
    binding->pty = std::move(pty);
    platform::LocalDatagramSocket::Bind(platform::DeviceSocketFile(link), binding->hostSocket);
    return binding;
}

PtyNameBinding::~PtyNameBinding() {
    platform::RemoveDeviceLinkIfTarget(link, pty->SlavePath());
    hostSocket.reset();
    m_lock->RemoveFile();
    pty.reset();
    m_lock.reset();
}

void PtyNameBinding::RenewPty() {
    std::unique_ptr<platform::Pty> fresh;
    if (platform::Pty::Create(fresh) == platform::Error::None && fresh->TakeSettingsFrom(*pty) &&
        platform::RemoveDeviceLinkIfTarget(link, pty->SlavePath())) {
        if (platform::CreateDeviceLink(link, fresh->SlavePath()) == platform::Error::None)
            pty = std::move(fresh);
    }
}

}  // namespace varnock
