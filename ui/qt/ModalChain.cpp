#include "ui/qt/ModalChain.h"

#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <utility>
#include <vector>

namespace varnock {
namespace {

// Modal loops nest strictly, so the running ones form a stack.
std::vector<QPointer<QDialog>> g_running;
bool g_closed = false;
struct Pending {
    QPointer<QObject> context;
    std::function<void()> action;
};
std::vector<Pending> g_pending;

void Schedule(Pending pending) {
    if (!pending.context) return;
    // Queued, so that it runs in the loop that is left, not in the frame of
    // the modal loop that just returned.
    QTimer::singleShot(0, pending.context.data(), std::move(pending.action));
}

}  // namespace

int ExecModal(QDialog& dialog) {
    if (g_closed) return QDialog::Rejected;
    g_running.emplace_back(&dialog);
    const int result = dialog.exec();
    g_running.pop_back();
    if (g_running.empty()) {
        for (auto& pending : std::exchange(g_pending, {})) Schedule(std::move(pending));
    }
    return result;
}

void CloseModalChain() {
    g_closed = true;
    for (auto it = g_running.rbegin(); it != g_running.rend(); ++it) {
        if (*it) (*it)->reject();
    }
}

bool ModalChainClosed() {
    return g_closed;
}

void WhenModalChainUnwound(QObject* context, std::function<void()> action) {
    Pending pending{context, std::move(action)};
    if (g_running.empty()) {
        Schedule(std::move(pending));
    } else {
        g_pending.push_back(std::move(pending));
    }
}

void ReopenModalChain() {
    g_closed = false;
}

}  // namespace varnock
