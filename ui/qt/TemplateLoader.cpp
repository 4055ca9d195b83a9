#include "ui/qt/TemplateLoader.h"

#include <QBuffer>
#include <QUiLoader>
#include <QVariant>

#include "platform/ResourceLibrary.h"
#include "ui/qt/Ipv4AddressEdit.h"

namespace varnock {
namespace {

// Knows the system's own controls besides Qt's.
class TemplateUiLoader : public QUiLoader {
public:
    QWidget* createWidget(const QString& className, QWidget* parent, const QString& name) override {
        if (className == "varnock::Ipv4AddressEdit" || className == "Ipv4AddressEdit") {
            auto* widget = new Ipv4AddressEdit(parent);
            widget->setObjectName(name);
            return widget;
        }
        return QUiLoader::createWidget(className, parent, name);
    }
};

}  // namespace

QWidget* LoadDialogWidget(int number, QWidget* parent) {
    std::string text = platform::LoadDialogTemplate(number);
    if (text.empty()) return nullptr;
    QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    TemplateUiLoader loader;
    return loader.load(&buffer, parent);
}

QWidget* FindControl(QWidget* window, int controlId) {
    if (!window) return nullptr;
    if (window->property(kControlIdProperty).toInt() == controlId) return window;
    for (QWidget* child : window->findChildren<QWidget*>()) {
        QVariant id = child->property(kControlIdProperty);
        if (id.isValid() && id.toInt() == controlId) return child;
    }
    return nullptr;
}

}  // namespace varnock
