#include "ui/qt/QtMessageSink.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "platform/MessageLoop.h"
#include "ui/qt/ModalChain.h"

namespace varnock {
namespace {

int ShowBox(int number, const std::string& text, unsigned style) {
    // Once the program is being stopped no box waits for the user; the
    // message still reaches the terminal or the journal.
    if (ModalChainClosed()) return platform::StderrMessageSink().Show(number, text, style);
    QWidget* owner = QApplication::activeModalWidget();
    if (!owner) owner = QApplication::activeWindow();
    const unsigned icon = style & 0xF0;
    QMessageBox box(icon == platform::kMbIconError     ? QMessageBox::Critical
                    : icon == platform::kMbIconWarning ? QMessageBox::Warning
                                                       : QMessageBox::Information,
                    QStringLiteral("Varnock"), QString::fromStdString(text), QMessageBox::Ok, owner);
    ExecModal(box);
    return 1;  // IDOK
}

}  // namespace

int QtMessageSink::Show(int number, const std::string& text, unsigned style) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!qobject_cast<QApplication*>(app)) return platform::StderrMessageSink().Show(number, text, style);
    if (QThread::currentThread() == app->thread()) return ShowBox(number, text, style);
    // Widgets live on the main thread only; 0 when the loop no longer runs.
    return static_cast<int>(
        platform::MessageLoop::Main().Send([number, text, style] { return ShowBox(number, text, style); }));
}

}  // namespace varnock
