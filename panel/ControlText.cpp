#include "panel/ControlText.h"

#include <array>

namespace panel {
namespace {

constexpr int kFields = 4;

// The code point of the UTF-8 sequence at `at` and its length, or length 0 when the bytes there
// are not one valid sequence (overlong forms and surrogates included).
char32_t Decode(std::string_view text, std::size_t at, std::size_t* length) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    *length = 0;
    std::size_t count = 0;
    char32_t point = 0;
    if (lead < 0x80) {
        *length = 1;
        return lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        count = 2, point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 3, point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 4, point = lead & 0x07;
    } else {
        return 0;
    }
    if (at + count > text.size()) return 0;
    for (std::size_t i = 1; i < count; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        point = (point << 6) | (byte(i) & 0x3F);
    }
    const bool overlong = (count == 3 && point < 0x800) || (count == 4 && point < 0x10000);
    if (overlong || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
    *length = count;
    return point;
}

// White space as the dialog's toolkit trims it (Unicode spaces and the C0/C1 blanks).
bool IsSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::array<int, kFields> Fields(std::string_view text) {
    std::array<int, kFields> values;
    values.fill(-1);
    std::size_t start = 0;
    for (int i = 0; i < kFields && start <= text.size(); ++i) {
        std::size_t dot = text.find('.', start);
        if (dot == std::string_view::npos) dot = text.size();
        values[static_cast<std::size_t>(i)] = AddressField(text.substr(start, dot - start));
        start = dot + 1;
    }
    return values;
}

}  // namespace

int AddressField(std::string_view field) {
    // Blanks off both ends, whole characters at a time.
    std::size_t begin = 0, length = 0;
    while (begin < field.size() && IsSpace(Decode(field, begin, &length)) && length > 0)
        begin += length;
    std::size_t end = field.size();
    while (end > begin) {
        std::size_t back = end - 1;
        while (back > begin && (static_cast<unsigned char>(field[back]) & 0xC0) == 0x80) --back;
        if (!IsSpace(Decode(field, back, &length)) || back + length != end) break;
        end = back;
    }
    const std::string_view digits = field.substr(begin, end - begin);
    if (digits.empty() || digits.size() > 3) return -1;
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value <= 255 ? value : -1;
}

std::uint32_t AddressValue(std::string_view text, int* filled) {
    std::uint32_t value = 0;
    int count = 0;
    for (int field : Fields(text)) {
        value = (value << 8) | static_cast<std::uint32_t>(field < 0 ? 0 : field);
        if (field >= 0) ++count;
    }
    if (filled != nullptr) *filled = count;
    return value;
}

std::string ShownAddress(std::string_view text) {
    std::string shown;
    bool allBlank = true;
    for (int i = 0; int field : Fields(text)) {
        if (i++ > 0) shown += '.';
        if (field >= 0) shown += std::to_string(field);
        allBlank = allBlank && field < 0;
    }
    return allBlank ? std::string() : shown;
}

std::string AddressText(std::uint32_t value) {
    return std::to_string(value >> 24) + '.' + std::to_string((value >> 16) & 0xFF) + '.' +
           std::to_string((value >> 8) & 0xFF) + '.' + std::to_string(value & 0xFF);
}

std::string EditText(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t length = 0;
        Decode(bytes, at, &length);
        if (length == 0) {
            text += "\xEF\xBF\xBD";
            ++at;
        } else {
            text.append(bytes.substr(at, length));
            at += length;
        }
    }
    return text;
}

std::string CutText(std::string_view text, int bufferSize) {
    std::size_t length = text.size();
    const auto limit = static_cast<std::size_t>(bufferSize - 1);
    if (length > limit) {
        length = limit;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    return std::string(text.substr(0, length));
}

}  // namespace panel
