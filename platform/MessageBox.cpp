#include "platform/MessageBox.h"

#include <atomic>
#include <cstdio>
#include <map>

namespace varnock::platform {
namespace {

StderrMessageSink g_stderrSink;
std::atomic<MessageSink*> g_sink{nullptr};

std::mutex g_loaderLock;
StringLoader g_loader;

// Texts that must be shown before the resource library is loaded.
std::mutex g_builtInLock;
std::map<int, std::string> g_builtIn;

}  // namespace

int StderrMessageSink::Show(int number, const std::string& text, unsigned) {
    std::fprintf(stderr, "[%d] %s\n", number, text.c_str());
    std::fflush(stderr);
    return 1;
}

int RecordingMessageSink::Show(int number, const std::string& text, unsigned style) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_entries.push_back({number, text, style});
    return 1;
}

std::vector<RecordingMessageSink::Entry> RecordingMessageSink::Entries() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_entries;
}

std::vector<int> RecordingMessageSink::Numbers() const {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<int> numbers;
    for (const auto& e : m_entries) numbers.push_back(e.number);
    return numbers;
}

void RecordingMessageSink::Clear() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_entries.clear();
}

void SetMessageSink(MessageSink* sink) {
    g_sink.store(sink);
}

MessageSink& CurrentMessageSink() {
    MessageSink* s = g_sink.load();
    return s ? *s : g_stderrSink;
}

void SetBuiltInText(int number, std::string text) {
    std::lock_guard<std::mutex> lock(g_builtInLock);
    g_builtIn[number] = std::move(text);
}

void SetStringLoader(StringLoader loader) {
    std::lock_guard<std::mutex> lock(g_loaderLock);
    g_loader = std::move(loader);
}

std::string LoadString(int number) {
    StringLoader loader;
    {
        std::lock_guard<std::mutex> lock(g_loaderLock);
        loader = g_loader;
    }
    if (loader) {
        std::string text = loader(number);
        if (!text.empty()) return text;
    }
    std::lock_guard<std::mutex> lock(g_builtInLock);
    auto it = g_builtIn.find(number);
    return it == g_builtIn.end() ? std::string() : it->second;
}

std::string FormatMessageText(const std::string& format, const std::string& arg) {
    auto pos = format.find("%s");
    if (pos == std::string::npos) return format;
    return format.substr(0, pos) + arg + format.substr(pos + 2);
}

int ShowMessage(int number, unsigned style, const std::optional<std::string>& arg,
                const std::string& detail) {
    std::string text = LoadString(number);
    if (arg) text = FormatMessageText(text, *arg);
    if (!detail.empty()) text += "\n" + detail;
    return CurrentMessageSink().Show(number, text, style);
}

}  // namespace varnock::platform
