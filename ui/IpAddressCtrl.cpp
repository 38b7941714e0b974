#include "ui/IpAddressCtrl.h"

#include <QStringList>
#include <QValidator>
#include <string>

#include "panel/ControlText.h"

namespace {

constexpr int kFields = 4;
constexpr int kBlank = -1;

std::string Utf8(const QString& text) {
    return text.toStdString();
}

int FieldValue(const QString& field) {
    return panel::AddressField(Utf8(field));
}

// Lets the operator type only what the control could hold: up to four fields of at most three
// digits, each 0 to 255, separated by dots. Blank fields are allowed while typing.
class CAddressValidator : public QValidator {
  public:
    using QValidator::QValidator;

    State validate(QString& input, int& /*position*/) const override {
        const QStringList parts = input.split(u'.');
        if (parts.size() > kFields) return Invalid;
        for (const QString& part : parts) {
            if (part.isEmpty()) continue;
            if (FieldValue(part) == kBlank || part.trimmed() != part) return Invalid;
        }
        return Acceptable;
    }
};

}  // namespace

CIpAddressCtrl::CIpAddressCtrl(QWidget* parent) : QLineEdit(parent) {
    setValidator(new CAddressValidator(this));
    setMaxLength(15);
}

void CIpAddressCtrl::SetWindowText(const QString& text) {
    setText(QString::fromStdString(panel::ShownAddress(Utf8(text))));
}

QString CIpAddressCtrl::GetWindowText() const {
    return QString::fromStdString(panel::AddressText(panel::AddressValue(Utf8(text()))));
}

int CIpAddressCtrl::GetAddress(std::uint32_t* address) const {
    int filled = 0;
    *address = panel::AddressValue(Utf8(text()), &filled);
    return filled;
}
