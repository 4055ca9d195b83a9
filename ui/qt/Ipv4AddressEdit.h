#pragma once
// The IPv4 address control: four fields of 0 to 255 between dots. A field
// may be blank; typing a dot or a third digit moves on to the next field,
// Backspace in an empty field goes back.
#include <QWidget>
#include <array>

#include "ui/DialogView.h"

class QLineEdit;

namespace varnock {

class Ipv4AddressEdit : public QWidget {
    Q_OBJECT
public:
    explicit Ipv4AddressEdit(QWidget* parent = nullptr);

    // Sets all four fields; none stays blank.
    void SetFields(const std::array<int, 4>& fields);
    IpFields Fields() const;
    void Clear();
    QLineEdit* Field(int i) const { return m_fields[static_cast<size_t>(i)]; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void OnEdited(int i);
    void UpdateFrame();

    std::array<QLineEdit*, 4> m_fields{};
};

}  // namespace varnock
