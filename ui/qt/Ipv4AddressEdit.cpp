#include "ui/qt/Ipv4AddressEdit.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

#include "ui/IpAddress.h"

namespace varnock {

Ipv4AddressEdit::Ipv4AddressEdit(QWidget* parent) : QWidget(parent) {
    auto* frame = new QFrame(this);
    frame->setObjectName("addressFrame");
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setFrameShadow(QFrame::Sunken);
    frame->setAutoFillBackground(true);
    frame->setBackgroundRole(QPalette::Base);
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(frame);

    auto* row = new QHBoxLayout(frame);
    row->setContentsMargins(4, 1, 4, 1);
    row->setSpacing(0);
    auto* digits = new QRegularExpressionValidator(QRegularExpression("[0-9]{0,3}"), this);
    const int width = fontMetrics().horizontalAdvance("0000");
    for (int i = 0; i < 4; ++i) {
        auto* field = new QLineEdit(frame);
        field->setObjectName(QString("field%1").arg(i + 1));
        field->setFrame(false);
        field->setAlignment(Qt::AlignCenter);
        field->setValidator(digits);
        field->setMaxLength(3);
        field->setFixedWidth(width);
        field->installEventFilter(this);
        connect(field, &QLineEdit::textEdited, this, [this, i] { OnEdited(i); });
        m_fields[static_cast<size_t>(i)] = field;
        row->addWidget(field);
        if (i < 3) row->addWidget(new QLabel(".", frame));
    }
    row->addStretch();
    setFocusProxy(m_fields[0]);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Ipv4AddressEdit::SetFields(const std::array<int, 4>& fields) {
    for (int i = 0; i < 4; ++i) Field(i)->setText(QString::number(fields[static_cast<size_t>(i)]));
}

IpFields Ipv4AddressEdit::Fields() const {
    IpFields result;
    for (size_t i = 0; i < 4; ++i) {
        std::optional<int> value = AddressFieldValue(m_fields[i]->text().toStdString());
        result.blank[i] = !value;
        result.value[i] = value.value_or(0);
    }
    return result;
}

void Ipv4AddressEdit::Clear() {
    for (QLineEdit* field : m_fields) field->clear();
}

void Ipv4AddressEdit::OnEdited(int i) {
    QLineEdit* field = Field(i);
    // Above 255 shows as 255, the value it is read as.
    if (field->text().toInt() > 255) field->setText("255");
    if (field->text().size() == 3 && i < 3) {
        Field(i + 1)->setFocus();
        Field(i + 1)->selectAll();
    }
}

bool Ipv4AddressEdit::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) return QWidget::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    for (int i = 0; i < 4; ++i) {
        if (watched != Field(i)) continue;
        bool isDot = key->text() == "." || key->text() == ",";
        if (isDot) {
            if (i < 3 && !Field(i)->text().isEmpty()) {
                Field(i + 1)->setFocus();
                Field(i + 1)->selectAll();
            }
            return true;
        }
        if (key->key() == Qt::Key_Backspace && Field(i)->text().isEmpty() && i > 0) {
            Field(i - 1)->setFocus();
            Field(i - 1)->end(false);
            return true;
        }
        if (key->key() == Qt::Key_Right && Field(i)->cursorPosition() == Field(i)->text().size() && i < 3) {
            Field(i + 1)->setFocus();
            Field(i + 1)->home(false);
            return true;
        }
        if (key->key() == Qt::Key_Left && Field(i)->cursorPosition() == 0 && i > 0) {
            Field(i - 1)->setFocus();
            Field(i - 1)->end(false);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void Ipv4AddressEdit::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange) UpdateFrame();
    QWidget::changeEvent(event);
}

void Ipv4AddressEdit::UpdateFrame() {
    // A disabled control shows the window colour behind its fields.
    if (auto* frame = findChild<QFrame*>("addressFrame")) {
        frame->setBackgroundRole(isEnabled() ? QPalette::Base : QPalette::Window);
    }
}

}  // namespace varnock
