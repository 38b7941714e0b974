#include "ui/IpAddressCtrl.h"

#include <QStringList>
#include <QValidator>
#include <array>

namespace {

constexpr int kFields = 4;
constexpr int kBlank = -1;

// One field's value, or kBlank when it is empty or not a number of 0 to 255 in at most three
// digits.
int FieldValue(const QString& field) {
    const QString trimmed = field.trimmed();
    if (trimmed.isEmpty() || trimmed.size() > 3) return kBlank;
    int value = 0;
    for (QChar c : trimmed) {
        if (c < u'0' || c > u'9') return kBlank;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value <= 255 ? value : kBlank;
}

std::array<int, kFields> ParseFields(const QString& text) {
    std::array<int, kFields> values;
    values.fill(kBlank);
    const QStringList parts = text.split(u'.');
    for (int i = 0; i < kFields && i < parts.size(); ++i) values[i] = FieldValue(parts[i]);
    return values;
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
    const std::array<int, kFields> values = ParseFields(text);
    bool allBlank = true;
    QStringList shown;
    for (int value : values) {
        shown << (value == kBlank ? QString() : QString::number(value));
        allBlank = allBlank && value == kBlank;
    }
    setText(allBlank ? QString() : shown.join(u'.'));
}

QString CIpAddressCtrl::GetWindowText() const {
    std::uint32_t address = 0;
    GetAddress(&address);
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xFF)
        .arg((address >> 8) & 0xFF)
        .arg(address & 0xFF);
}

int CIpAddressCtrl::GetAddress(std::uint32_t* address) const {
    const std::array<int, kFields> values = ParseFields(text());
    std::uint32_t result = 0;
    int filled = 0;
    for (int value : values) {
        result = (result << 8) | static_cast<std::uint32_t>(value == kBlank ? 0 : value);
        if (value != kBlank) ++filled;
    }
    *address = result;
    return filled;
}
