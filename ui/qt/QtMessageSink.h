#pragma once
// Message boxes of the desktop program: a Qt box over the active window,
// caption the program's name. Boxes asked for from another thread are shown
// by the main thread while the caller waits.
#include "platform/MessageBox.h"

namespace varnock {

class QtMessageSink : public platform::MessageSink {
public:
    int Show(int number, const std::string& text, unsigned style) override;
};

}  // namespace varnock
