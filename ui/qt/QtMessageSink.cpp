#include "ui/qt/QtMessageSink.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "platform/MessageLoop.h"

namespace varnock {
namespace {

int ShowBox(const std::string& text, unsigned style) {
    QWidget* owner = QApplication::activeModalWidget();
    if (!owner) owner = QApplication::activeWindow();
    QMessageBox box(style & platform::kMbIconError ? QMessageBox::Critical : QMessageBox::Information,
                    QStringLiteral("Varnock"), QString::fromStdString(text), QMessageBox::Ok, owner);
    box.exec();
    return 1;  // IDOK
}

}  // namespace

int QtMessageSink::Show(int number, const std::string& text, unsigned style) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!qobject_cast<QApplication*>(app)) return platform::StderrMessageSink().Show(number, text, style);
    if (QThread::currentThread() == app->thread()) return ShowBox(text, style);
    // Widgets live on the main thread only; 0 when the loop no longer runs.
    return static_cast<int>(
        platform::MessageLoop::Main().Send([text, style] { return ShowBox(text, style); }));
}

}  // namespace varnock
