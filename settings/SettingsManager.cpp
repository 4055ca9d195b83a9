#include "settings/SettingsManager.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string_view>

#include "common/Messages.h"
#include "platform/DeviceProbe.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "platform/PrivateProfile.h"
#include "platform/Text.h"
#include "settings/resources/en/BuiltInTexts.h"

namespace varnock {
namespace {

using platform::AtoiSaturating;
using platform::EqualNoCase;
using platform::Trim;

constexpr const char* kSectionApplication = "Application";
constexpr const char* kSectionVirtualCOMSettings = "VirtualCOMSettings";
constexpr const char* kSectionCustomSetting = "CustomSetting";
constexpr const char* kSectionCommunicationSettings = "CommunicationSettings";
constexpr const char* kSectionMatrix = "VirtualCOMAllocationMatrix";

constexpr int kRowFields = 5;
constexpr int kHighestComNumber = 255;

SettingsManager* g_instance = nullptr;

// The entries of the matrix by number, each with the value a read of its
// key gives, from one read of the file: read key by key, a large matrix
// would be read from disk once per entry, and a count of a billion would
// mean a billion reads.
std::map<int, std::string> MatrixEntries(const std::filesystem::path& file) {
    std::map<int, std::string> entries;
    for (auto& [key, value] : platform::GetPrivateProfileSection(kSectionMatrix, file)) {
        // Only the "%d" form names an entry: "01" is another key.
        if (key.empty() || key.size() > 10 || key[0] == '0' ||
            key.find_first_not_of("0123456789") != std::string::npos)
            continue;
        long long n = std::stoll(key);
        if (n > INT32_MAX) continue;
        entries.emplace(static_cast<int>(n), std::move(value));  // the first line of a key counts
    }
    return entries;
}

}  // namespace

SettingsManager::SettingsManager(std::filesystem::path directory)
    : m_strDirectory(directory.empty() ? platform::ExecutableDirectory() : std::move(directory)) {
    // Without its files the library that holds every other text is unknown.
    platform::SetBuiltInText(kMsgVarnockIniMissing, kTextVarnockIniMissing);
    platform::SetBuiltInText(kMsgSettingIniMissing, kTextSettingIniMissing);
}

SettingsManager::~SettingsManager() {
    m_rows.clear();
}

SettingsManager* SettingsManager::GetInstance(const std::filesystem::path& directory) {
    if (!g_instance) g_instance = new SettingsManager(directory);
    return g_instance;
}

void SettingsManager::DeleteInstance() {
    delete g_instance;
    g_instance = nullptr;
}

int SettingsManager::Load() {
    namespace fs = std::filesystem;
    m_strSettingsDirectory = platform::SettingsDirectoryFor(m_strDirectory);
    const fs::path varnockIni = m_strSettingsDirectory / kVarnockIniName;
    const fs::path shared = m_strSettingsDirectory / kVarnockSettingIniName;
    std::error_code ec;
    m_strSaveFile = shared;
    // Away from the program the channel file holds the installation's
    // shared defaults: they are never written.
    if (m_strSettingsDirectory != m_strDirectory) {
        if (fs::path own = platform::OwnSettingsDirectory(); !own.empty())
            m_strSaveFile = own / kVarnockSettingIniName;
    }
    // The user's own file once it exists, even unreadable (212 then): the
    // defaults must never stand in for channels the user saved.
    m_strSettingFile = fs::exists(fs::symlink_status(m_strSaveFile, ec)) ? m_strSaveFile : shared;
    const fs::path& settingIni = m_strSettingFile;

    // Without the executable's directory nothing may be read from anywhere else.
    if (m_strSettingsDirectory.empty() || !platform::CanReadPrivateProfile(varnockIni)) {
        platform::ShowMessage(kMsgVarnockIniMissing, platform::kMbIconError);
        return 0;
    }
    if (!platform::CanReadPrivateProfile(settingIni)) {
        platform::ShowMessage(kMsgSettingIniMissing, platform::kMbIconError);
        return 0;
    }
    m_iniVarnock.SetFileName(varnockIni);
    m_iniSetting.SetFileName(settingIni);

    m_strResourceDLLName = Trim(m_iniVarnock.GetString("ResourceDLLName", "", kSectionApplication));
    // The name is taken relative to the directory, as written.
    auto library = std::make_unique<platform::ResourceLibrary>();
    if (!library->Load(m_strDirectory.string() + "/" + m_strResourceDLLName)) return 0;
    m_pResourceLibrary = std::move(library);
    m_pResourceLibrary->MakeCurrent();

    std::string realPort = m_iniVarnock.GetString("RealPort", "", kSectionVirtualCOMSettings);
    if (realPort.empty()) {
        platform::ShowMessage(kMsgRealPortInvalid, platform::kMbIconError);
        return 0;
    }
    m_realPortList.clear();
    SplitList(realPort, ',', m_realPortList);

    std::string maxHostDriverNo =
        Trim(m_iniVarnock.GetString("MaxHostDriverNo", "", kSectionVirtualCOMSettings));
    if (maxHostDriverNo.empty()) {
        platform::ShowMessage(kMsgMaxHostDriverNoInvalid, platform::kMbIconError);
        return 0;
    }
    m_nMaxHostDriverNo = AtoiSaturating(maxHostDriverNo);
    if (m_nMaxHostDriverNo < 1) {
        platform::ShowMessage(kMsgMaxHostDriverNoInvalid, platform::kMbIconError);
        return 0;
    }

    m_nItems = AtoiSaturating(Trim(m_iniSetting.GetString("items", "", kSectionMatrix)));
    if (m_nItems < 1) {
        platform::ShowMessage(kMsgItemsInvalid, platform::kMbIconError);
        return 0;
    }

    m_nBaudRate = m_iniVarnock.GetInt("BaudRate", 9600, kSectionCustomSetting);
    m_nWaitAfterACCommand_ACK = m_iniVarnock.GetInt("WaitAfterACCommand_ACK", 50, kSectionCustomSetting);
    m_nPLCDataMonitorTime = m_iniVarnock.GetInt("PLCDataMonitorTime", 50, kSectionCustomSetting);
    m_nPLCDataMonitorTime_USB = m_iniVarnock.GetInt("PLCDataMonitorTime_USB", 50, kSectionCustomSetting);
    m_nPLCDataBytesToReadInMonitorTime =
        m_iniVarnock.GetInt("PLCDataBytesToReadInMonitorTime", 20, kSectionCustomSetting);
    m_nMaxTimeBetweenLDRData = m_iniVarnock.GetInt("MaxTimeBetweenLDRData", 10, kSectionCustomSetting);
    m_nBlockTransferSizeInBytes =
        m_iniVarnock.GetInt("BlockTransferSizeInBytes", 1024, kSectionCustomSetting);

    m_bWndAlwaysOnTop =
        Trim(m_iniVarnock.GetString("WndAlwaysOnTop", "", kSectionApplication)) == "TRUE" ? 1 : 0;

    ReadRows();

    std::string mode = Trim(m_iniSetting.GetString("PortAssignMode", "", kSectionApplication));
    m_bLoaded = true;
    if (EqualNoCase(mode, "Manual")) {
        m_nPortAssignMode = 0;
    } else {
        m_nPortAssignMode = 1;
        AutoAssignVirtualPort();
    }
    return 1;
}

void SettingsManager::ReadRows() {
    m_rows.clear();
    m_rowEntries.clear();
    const std::string flagOn = platform::LoadString(kStrFlagOn);
    std::vector<std::string> pieces;
    for (const auto& [n, value] : MatrixEntries(m_iniSetting.GetFileName())) {
        if (n > m_nItems) break;
        if (value.empty()) continue;
        pieces.clear();
        SplitList(value, ',', pieces);
        // A short entry reads its missing fields as empty text.
        if (pieces.size() < kRowFields) pieces.resize(kRowFields);

        auto row = std::make_unique<AllocationRow>();
        row->m_strVirtualPort = pieces[0];
        row->m_strLinkPort = pieces[1];
        if (EqualNoCase(pieces[1], "Ethernet")) {
            row->m_nLinkType = LinkType::Ethernet;
        } else if (EqualNoCase(pieces[1], "USB")) {
            row->m_nLinkType = LinkType::Usb;
        } else {
            row->m_nLinkType = LinkType::Serial;
        }
        if (row->m_nLinkType == LinkType::Ethernet) {
            row->m_strIPAddress = pieces[2];
            row->m_strRealPort = "Ethernet";
        } else {
            row->m_strRealPort = pieces[2];
        }
        row->m_strExtra = pieces[3];
        row->m_bNoConnectCommand = EqualNoCase(pieces[4], flagOn) ? 1 : 0;
        m_rows.push_back(std::move(row));
        m_rowEntries.push_back(n);
    }
}

bool SettingsManager::PrepareSaveFile() {
    namespace fs = std::filesystem;
    if (m_iniSetting.GetFileName() == m_strSaveFile) return true;
    // The copy keeps the defaults' comments and other lines; the rows follow.
    std::error_code ec;
    fs::create_directories(m_strSaveFile.parent_path(), ec);
    if (!fs::exists(fs::symlink_status(m_strSaveFile, ec)) &&
        !fs::copy_file(m_iniSetting.GetFileName(), m_strSaveFile, ec))
        return false;
    m_iniSetting.SetFileName(m_strSaveFile);
    return true;
}

int SettingsManager::Save() {
    // After a Load that stopped early nothing here was read from the files;
    // writing the initial values would overwrite what the user stored.
    if (!m_bLoaded) return 1;
    bool written = PrepareSaveFile();
    // Rows that stand in the file as they would be written are left alone:
    // every write reads and rewrites the whole file.
    const std::map<int, std::string> stored = MatrixEntries(m_iniSetting.GetFileName());
    for (std::size_t i = 0; written && i < m_rows.size() && static_cast<int>(i) < m_nItems; ++i) {
        const AllocationRow& row = *m_rows[i];
        const std::string flag =
            platform::LoadString(row.m_bNoConnectCommand == 1 ? kStrFlagOn : kStrFlagOff);
        const std::string& third =
            row.m_nLinkType == LinkType::Ethernet ? row.m_strIPAddress : row.m_strRealPort;
        std::string value =
            row.m_strVirtualPort + "," + row.m_strLinkPort + "," + third + "," + row.m_strExtra + "," + flag;
        // Each row goes back under the entry it came from, so a gap in the
        // entries does not leave a moved row's old text behind.
        auto same = stored.find(m_rowEntries[i]);
        if (same != stored.end() && same->second == Trim(value) &&
            same->second.size() < platform::kProfileValueMax)
            continue;
        written = m_iniSetting.WriteString(std::to_string(m_rowEntries[i]), value, kSectionMatrix);
    }
    for (const auto& [name, config] : m_networkPortEdits) {
        written = written &&
                  m_iniSetting.WriteString(name, FormatNetworkPort(config), kSectionNetworkPorts) &&
                  m_iniSetting.WriteString(name, FormatClientList(config.allowed), kSectionNetworkClients);
    }
    if (written) m_networkPortEdits.clear();
    written =
        written && m_iniSetting.WriteString("PortAssignMode", m_nPortAssignMode == 1 ? "Auto" : "Manual",
                                            kSectionApplication);
    m_bSaveFailed = !written;
    if (written) return 1;
    // Said once: the window's Close and the exit both save.
    if (!m_bSaveFailureShown)
        platform::ShowMessage(kMsgSettingsNotSaved, platform::kMbIconError, m_strSaveFile.string());
    m_bSaveFailureShown = true;
    return 0;
}

NetworkPortConfig SettingsManager::GetNetworkPort(const std::string& portName, std::string* problem) {
    if (auto edited = m_networkPortEdits.find(portName); edited != m_networkPortEdits.end())
        return edited->second;
    const std::string listen = m_iniSetting.GetString(portName, "", kSectionNetworkPorts);
    const std::string clients = m_iniSetting.GetString(portName, "", kSectionNetworkClients);
    std::optional<NetworkPortConfig> config = ParseNetworkPort(listen);
    std::optional<std::vector<std::string>> allowed = ParseClientList(clients);
    if (!config || !allowed) {
        if (problem)
            *problem = !config ? "[" + std::string(kSectionNetworkPorts) + "] " + portName + "=" + listen
                               : "[" + std::string(kSectionNetworkClients) + "] " + portName + "=" + clients;
        return {};
    }
    config->allowed = std::move(*allowed);
    return *config;
}

void SettingsManager::SetNetworkPort(const std::string& portName, const NetworkPortConfig& config) {
    m_networkPortEdits[portName] = config;
}

AllocationRow* SettingsManager::GetRow(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= m_rows.size()) return nullptr;
    return m_rows[static_cast<std::size_t>(index)].get();
}

void SettingsManager::ReplaceRow(const AllocationRow& row, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= m_rows.size()) return;
    // Copy first: `row` may be the held row itself.
    auto copy = std::make_unique<AllocationRow>(row);
    m_rows[static_cast<std::size_t>(index)] = std::move(copy);
}

int SettingsManager::CopyRealPortList(std::vector<std::string>& list) const {
    list.insert(list.end(), m_realPortList.begin(), m_realPortList.end());
    return static_cast<int>(m_realPortList.size());
}

void SettingsManager::ReadCommunicationSettings(ChannelConfig* config) {
    if (!config) return;
    config->m_nBaudRate = m_iniVarnock.GetInt("BaudRate", 9600, kSectionCommunicationSettings);
    config->m_byDataBits =
        static_cast<uint8_t>(m_iniVarnock.GetInt("ByteSize", 7, kSectionCommunicationSettings));
    // Each cut to a byte, as the settings record holds them.
    config->m_byParity = static_cast<Parity>(static_cast<uint8_t>(
        m_iniVarnock.GetInt("Parity", static_cast<int>(Parity::Even), kSectionCommunicationSettings)));
    config->m_byStopBits = static_cast<StopBits>(static_cast<uint8_t>(
        m_iniVarnock.GetInt("StopBits", static_cast<int>(StopBits::One), kSectionCommunicationSettings)));
}

int SettingsManager::AutoAssignVirtualPort() {
    if (m_rows.empty()) return 0;
    for (int n = 1; n <= kHighestComNumber; ++n) {
        if (!platform::DeviceNameExists("\\\\.\\COM" + std::to_string(n))) {
            m_rows[0]->m_strVirtualPort = "COM" + std::to_string(n);
            return 1;
        }
    }
    return 0;
}

void SettingsManager::SplitList(const std::string& text, char separator, std::vector<std::string>& list) {
    std::size_t start = 0;
    for (auto p = text.find(separator, start); p != std::string::npos; p = text.find(separator, start)) {
        list.push_back(Trim(text.substr(start, p - start)));
        start = p + 1;
    }
    list.push_back(Trim(text.substr(start)));
}

}  // namespace varnock
