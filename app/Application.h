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

    // `settingsDirectory` holds the settings files and the resource library;
    // empty means the executable's directory.
    explicit Application(std::filesystem::path settingsDirectory = {});
    virtual ~Application() = default;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    void SetRunPhase(RunPhase runPhase) { m_runPhase = std::move(runPhase); }
    void SetStartUp(StartUp startUp) { m_startUp = std::move(startUp); }

    // The whole life of the program. Arguments are accepted and ignored.
    // Returns the process exit code: 0 after a normal run and for a second
    // copy (which ends silently), 1 when the device directory or the lock
    // file in it is unusable (said on stderr) or the settings did not load.
    int InitInstance(int argc = 0, char** argv = nullptr);

private:
    std::filesystem::path m_settingsDirectory;
    RunPhase m_runPhase;
    StartUp m_startUp;
    // Held for the life of the process so no second copy starts.
    platform::SingleInstanceGuard m_instanceGuard;
    SettingsManager* m_pSettings = nullptr;
};

}  // namespace varnock
