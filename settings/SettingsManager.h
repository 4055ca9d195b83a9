#pragma once
// The two settings files beside the executable: Varnock.ini (fixed
// installation settings, never written) and Varnock_setting.ini (the port
// allocation matrix and the assignment mode). Also owns the resource
// library for the life of the program.
//
// Installed, the two files are not beside the executable but in the
// configuration directory (platform::SettingsDirectoryFor: /etc/varnock);
// the channel file there holds defaults that every user shares, so each user
// reads and saves a channel file of their own (platform::OwnSettingsDirectory)
// once it exists, made from the defaults on the first save.
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/ChannelConfig.h"
#include "platform/ResourceLibrary.h"
#include "settings/AllocationRow.h"
#include "settings/IniFile.h"
#include "settings/NetworkPort.h"

namespace varnock {

inline constexpr const char* kVarnockIniName = "Varnock.ini";
inline constexpr const char* kVarnockSettingIniName = "Varnock_setting.ini";

class SettingsManager {
public:
    // The resource library is looked up in `directory`, the settings files
    // there too or in the installation's configuration directory; an empty
    // path means the executable's directory (Load fails with 109 when that
    // cannot be found).
    explicit SettingsManager(std::filesystem::path directory = {});
    virtual ~SettingsManager();
    SettingsManager(const SettingsManager&) = delete;
    SettingsManager& operator=(const SettingsManager&) = delete;

    // The process-wide object, created on the first call (with `directory`,
    // see the constructor; later calls ignore it).
    static SettingsManager* GetInstance(const std::filesystem::path& directory = {});
    // Deletes the process-wide object; the next GetInstance makes a new one.
    static void DeleteInstance();

    // Reads both files and loads the resource library. 1 on success, 0 on
    // failure (after its message box where the failure has one).
    int Load();
    // Writes the rows back under their entry numbers and the assignment
    // mode. Does nothing unless Load succeeded. A file that cannot be
    // written is said (once a run) and gives 0; otherwise 1.
    int Save();
    // Whether the last Save could not write.
    bool SaveFailed() const { return m_bSaveFailed; }
    // The channel file that Load read and the one Save writes.
    const std::filesystem::path& GetSettingFile() const { return m_strSettingFile; }
    const std::filesystem::path& GetSaveFile() const { return m_strSaveFile; }

    int GetItemCount() const { return m_nItems; }
    // The rows held: at most the item count, fewer when entries are empty or
    // missing. Channels are made for these; `items` only bounds them.
    int GetRowCount() const { return static_cast<int>(m_rows.size()); }
    // The held row at `index` (from 0), or nullptr. The list keeps it.
    AllocationRow* GetRow(int index);
    // Puts a copy of `row` in place of the row at `index`.
    void ReplaceRow(const AllocationRow& row, int index);
    // Appends the real port list to `list`; returns the number of entries.
    int CopyRealPortList(std::vector<std::string>& list) const;
    // The loaded resource library, or nullptr.
    platform::ResourceLibrary* GetResourceLibrary() { return m_pResourceLibrary.get(); }
    // Host-side line parameters, read from Varnock.ini at the moment of the call.
    void ReadCommunicationSettings(ChannelConfig* config);
    // How virtual port `portName` is served: over the network when the
    // result is Served(), else as a pty. A value that cannot be read counts
    // as a pty and is said in `problem` when given.
    NetworkPortConfig GetNetworkPort(const std::string& portName, std::string* problem = nullptr);
    // Held until Save writes it; a config that is not served removes the entries.
    void SetNetworkPort(const std::string& portName, const NetworkPortConfig& config);
    // Picks the lowest free COM number for the first row. 1 when assigned.
    int AutoAssignVirtualPort();

    int GetBaudRate() const { return m_nBaudRate; }
    int GetWaitAfterACCommand_ACK() const { return m_nWaitAfterACCommand_ACK; }
    int GetPLCDataMonitorTime() const { return m_nPLCDataMonitorTime; }
    int GetPLCDataMonitorTime_USB() const { return m_nPLCDataMonitorTime_USB; }
    int GetPLCDataBytesToReadInMonitorTime() const { return m_nPLCDataBytesToReadInMonitorTime; }
    int GetMaxTimeBetweenLDRData() const { return m_nMaxTimeBetweenLDRData; }
    int GetBlockTransferSizeInBytes() const { return m_nBlockTransferSizeInBytes; }
    int GetWndAlwaysOnTop() const { return m_bWndAlwaysOnTop; }
    int GetMaxHostDriverNo() const { return m_nMaxHostDriverNo; }
    int GetPortAssignMode() const { return m_nPortAssignMode; }
    const std::string& GetResourceDLLName() const { return m_strResourceDLLName; }
    // Where the resource library is looked up, and the settings files.
    const std::filesystem::path& GetDirectory() const { return m_strDirectory; }
    const std::filesystem::path& GetSettingsDirectory() const { return m_strSettingsDirectory; }

    // Appends the pieces of `text` between `separator`s, each trimmed; the
    // last piece is appended even when empty.
    static void SplitList(const std::string& text, char separator, std::vector<std::string>& list);

private:
    void ReadRows();
    // Binds the channel document to the file Save writes, made from the one
    // read when it does not exist yet; false when that cannot be done.
    bool PrepareSaveFile();

    std::vector<std::unique_ptr<AllocationRow>> m_rows;
    std::vector<int> m_rowEntries;  // entry number each held row was read from
    std::vector<std::string> m_realPortList;
    std::map<std::string, NetworkPortConfig> m_networkPortEdits;  // by port name, until Save
    int m_nMaxHostDriverNo = 0;
    IniFile m_iniVarnock;
    IniFile m_iniSetting;
    int m_nItems = 0;
    int m_nPortAssignMode = 1;  // 1 Auto, 0 Manual
    std::unique_ptr<platform::ResourceLibrary> m_pResourceLibrary;
    int m_nBaudRate = 0;
    int m_nWaitAfterACCommand_ACK = 0;
    int m_nPLCDataMonitorTime = 0;
    int m_nPLCDataMonitorTime_USB = 0;
    int m_nPLCDataBytesToReadInMonitorTime = 0;
    int m_nMaxTimeBetweenLDRData = 0;
    int m_nBlockTransferSizeInBytes = 0;
    int m_bWndAlwaysOnTop = 0;
    std::string m_strResourceDLLName;

    std::filesystem::path m_strDirectory;
    std::filesystem::path m_strSettingsDirectory;
    std::filesystem::path m_strSettingFile;
    std::filesystem::path m_strSaveFile;
    bool m_bLoaded = false;  // Save writes only what a successful Load read
    bool m_bSaveFailed = false;
    bool m_bSaveFailureShown = false;
};

}  // namespace varnock
