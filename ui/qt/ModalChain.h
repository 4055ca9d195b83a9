#pragma once
// Every modal loop that opens over the main window (message boxes, the link
// settings dialog, the About box) runs through here, so that a stop request
// can end them all, innermost first, before the program closes. Main thread
// only.
#include <functional>

class QDialog;
class QObject;

namespace varnock {

// dialog.exec(); once the chain is closed, QDialog::Rejected at once
// without showing the dialog.
int ExecModal(QDialog& dialog);

// Rejects every dialog running in ExecModal, innermost first, and closes
// the chain: no modal loop opens any more.
void CloseModalChain();
bool ModalChainClosed();

// Runs `action` from the event loop once every ExecModal has returned (at
// once when none runs); dropped when `context` is gone by then.
void WhenModalChainUnwound(QObject* context, std::function<void()> action);

// Opens the chain again (tests that reuse the process).
void ReopenModalChain();

}  // namespace varnock
