#include "app/Application.h"

#include <cstdio>

#include "platform/Descriptors.h"
#include "platform/Paths.h"
#include "platform/Pty.h"

namespace varnock {

Application::Application(std::filesystem::path settingsDirectory)
    : m_settingsDirectory(std::move(settingsDirectory)) {}

int Application::InitInstance(int, char**) {
    platform::DeviceDirectoryResult devices = platform::DeviceDirectory();
    if (!devices.ok) {
        std::fprintf(stderr, "varnock: %s\n", devices.error.c_str());
        return 1;
    }
    switch (m_instanceGuard.Acquire(devices.path, "OnlyOneInstanceMutex")) {
        case platform::SingleInstanceGuard::Result::Acquired:
            break;
        case platform::SingleInstanceGuard::Result::HeldByAnother:
            // Another copy runs: no window or message of our own.
            return m_secondCopy ? m_secondCopy(devices.path) : 0;
        case platform::SingleInstanceGuard::Result::Failed:
            std::fprintf(stderr, "varnock: %s\n", m_instanceGuard.Error().c_str());
            return 1;
    }
    // Links a killed run left behind name pty numbers that other terminals get.
    platform::RemoveStaleDeviceLinks(devices.path);
    if (m_startUp) m_startUp();
    // Each channel holds several descriptors; the usual soft limit is far
    // below what many channels need, the hard one seldom.
    platform::RaiseDescriptorLimit();

    m_pSettings = SettingsManager::GetInstance(m_settingsDirectory);
    const bool loaded = m_pSettings->Load() == 1;
    if (loaded && m_runPhase) m_runPhase(*m_pSettings);

    // Also after a failed load; Save then leaves the stored settings alone.
    const bool saved = m_pSettings->Save() == 1;
    if (platform::ResourceLibrary* library = m_pSettings->GetResourceLibrary()) library->Release();
    SettingsManager::DeleteInstance();
    m_pSettings = nullptr;
    if (!loaded) return kExitFailed;
    return saved ? 0 : kExitNotSaved;
}

}  // namespace varnock
