#pragma once
// The settings file the USB-to-UART link reads.
#include <filesystem>
#include <string>

#include "tests/support/PtyPair.h"
#include "tests/support/TestSupport.h"

namespace varnock::test {

inline void WriteUsbComSettings(const std::filesystem::path& dir, const std::string& portName,
                                int monitorTimeMs = 50) {
    WriteFile(dir / "Varnock.ini",
              "[CommunicationSettings]\nUSBCOMPortName=" + portName +
                  "\n[CustomSetting]\nPLCDataMonitorTime_USB=" + std::to_string(monitorTimeMs) + "\n");
}

}  // namespace varnock::test
