#pragma once
// The application shell: single-instance guard, settings load, the run
// phase, settings save and release of the resource library.
#include <filesystem>
#include <functional>

#include "platform/SingleInstance.h"
#include "settings/SettingsManager.h"

namespace varnock {

class Application {
public:
    // Runs between a successful Load and the final Save: creates the
    // channels and runs the main window (or the headless loop) until the
    // user ends the program.
    using RunPhase = std::function<void(SettingsManager& settings)>;
    // Runs once the guard is held, before the settings load: starts the
    // window system, so that a second copy never touches it and the load's
    // messages are already boxes.
    using StartUp = std::function<void()>;
    // Runs instead of everything else when another copy holds the guard of
    // the device directory `devices`; gives the exit code. Without it the
    // second copy ends silently with 0.
    using SecondCopy = std::function<int(const std::filesystem::path& devices)>;

    // Exit codes besides 0 and kExitFailed (1).
    static constexpr int kExitFailed = 1;
    static constexpr int kExitAnotherCopy = 3;  // varnockd only: another copy runs (said)
    static constexpr int kExitNotSaved = 4;     // the channels could not be saved (said)
    // The desktop program's socket in the device directory: a second copy
    // sends a datagram there to have the running copy's window raised.
    static constexpr const char* kRaiseSocketName = ".raise";

    // `settingsDirectory` holds the settings files and the resource library;
    // empty means the executable's directory.
    explicit Application(std::filesystem::path settingsDirectory = {});
    virtual ~Application() = default;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    void SetRunPhase(RunPhase runPhase) { m_runPhase = std::move(runPhase); }
    void SetStartUp(StartUp startUp) { m_startUp = std::move(startUp); }
    void SetSecondCopy(SecondCopy secondCopy) { m_secondCopy = std::move(secondCopy); }

    // The whole life of the program. Arguments are accepted and ignored.
    // Returns the process exit code: 0 after a normal run and for a second
    // copy (see SetSecondCopy), 1 when the device directory or the lock
    // file in it is unusable (said on stderr) or the settings did not load,
    // 4 when the final save could not write.
    int InitInstance(int argc = 0, char** argv = nullptr);

private:
    std::filesystem::path m_settingsDirectory;
    RunPhase m_runPhase;
    StartUp m_startUp;
    SecondCopy m_secondCopy;
    // Held for the life of the process so no second copy starts.
    platform::SingleInstanceGuard m_instanceGuard;
    SettingsManager* m_pSettings = nullptr;
};

}  // namespace varnock
