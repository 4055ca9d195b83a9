#pragma once
// Message boxes by string-table number. Every box of the system goes through
// one sink: a Qt box in the desktop program, a stderr line headless, a
// recorder in tests. Showing blocks until the sink returns (the user closed
// the box).
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace varnock::platform {

enum MessageStyle : unsigned {
    kMbOk = 0x00,
    kMbIconError = 0x10,
    kMbIconWarning = 0x30,
};

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // text is already formatted. Returns the button pressed (IDOK = 1).
    virtual int Show(int number, const std::string& text, unsigned style) = 0;
};

// "[<number>] <text>" on stderr.
class StderrMessageSink : public MessageSink {
public:
    int Show(int number, const std::string& text, unsigned style) override;
};

// Keeps every box shown, in order; safe to use from several threads.
class RecordingMessageSink : public MessageSink {
public:
    struct Entry {
        int number;
        std::string text;
        unsigned style;
    };
    int Show(int number, const std::string& text, unsigned style) override;
    std::vector<Entry> Entries() const;
    std::vector<int> Numbers() const;
    void Clear();

private:
    mutable std::mutex m_lock;
    std::vector<Entry> m_entries;
};

// The sink in force; the stderr sink until replaced. The caller keeps
// ownership. nullptr restores the stderr sink.
void SetMessageSink(MessageSink* sink);
MessageSink& CurrentMessageSink();

// Where string-table texts come from (the loaded resource library).
// Without a loader, only the built-in texts below are known.
using StringLoader = std::function<std::string(int number)>;
void SetStringLoader(StringLoader loader);
// A text the program knows without the library: the settings files' own
// messages, shown when the library cannot be found.
void SetBuiltInText(int number, std::string text);
// The text of a string number: the loader's when it has one, else the
// built-in text, else empty.
std::string LoadString(int number);

// Puts `arg` in place of the first "%s" of `format`; other text is kept as
// it stands (a stored text is never used as a printf format).
std::string FormatMessageText(const std::string& format, const std::string& arg);

// Loads the text of `number`, formats it with `arg` when given, and shows it
// with `detail`, when given, on a line of its own below.
int ShowMessage(int number, unsigned style, const std::optional<std::string>& arg = std::nullopt,
                const std::string& detail = {});

// Installs a sink for the life of a scope (tests).
class ScopedMessageSink {
public:
    explicit ScopedMessageSink(MessageSink& sink) { SetMessageSink(&sink); }
    ~ScopedMessageSink() { SetMessageSink(nullptr); }
    ScopedMessageSink(const ScopedMessageSink&) = delete;
    ScopedMessageSink& operator=(const ScopedMessageSink&) = delete;
};

}  // namespace varnock::platform
