// An IPv4 address entry box in the manner of the platform's address control: its window text is
// dotted-quad text in and out, its value comes out in host order (first field in the top byte),
// blank fields read as 0, and a field above 255 is refused (panel/ControlText reads the text).
// Owned by the dialog that holds it; used on the UI thread only.
#pragma once

#include <QLineEdit>
#include <QString>
#include <cstdint>

class CIpAddressCtrl : public QLineEdit {
    Q_OBJECT
  public:
    explicit CIpAddressCtrl(QWidget* parent = nullptr);

    // Shows the address of `text`. Each of the first four dot-separated fields that is not a
    // decimal number of 0 to 255 (at most three digits) is left blank.
    void SetWindowText(const QString& text);
    // The four fields as "a.b.c.d", a blank field as 0: a blank control gives "0.0.0.0".
    QString GetWindowText() const;
    // The address in host order, first field in the top byte, blank fields as 0. Returns how
    // many fields are filled, as the control's get-address message does.
    int GetAddress(std::uint32_t* address) const;
};
