// What the dialog's controls make of a setting's text, without the controls: the address box's
// reading of dotted-quad text, an edit box's hold on bytes (text that is not UTF-8 comes back
// with U+FFFD in place of each bad byte), and a window text read through a fixed buffer. The
// dialog's address box and the daemon both read settings through these, so a value means the
// same to both and is written back the same. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace panel {

constexpr int kTextBufferSize = 300;  // every window text is read through this many bytes
constexpr int kMacBufferSize = 30;    // the MAC text: at most 29 characters reach the engine

// One field of an address: 0-255 written in one to three decimal digits, blanks around it
// ignored; -1 when it is empty or anything else.
int AddressField(std::string_view field);
// The value of dotted-quad text (first field in the top byte), blank fields as 0; `filled` gets
// how many of the first four fields are numbers.
std::uint32_t AddressValue(std::string_view text, int* filled = nullptr);
// What an address box shows for `text`: the four fields with blank ones left empty ("10..3."),
// or "" when all four are blank.
std::string ShownAddress(std::string_view text);
// "a.b.c.d" of a value in host order, as the address box's window text gives it.
std::string AddressText(std::uint32_t value);

// `bytes` as an edit box holds them: valid UTF-8 unchanged, each byte that does not begin a
// valid sequence replaced by U+FFFD.
std::string EditText(std::string_view bytes);
// At most bufferSize - 1 bytes of UTF-8 text, cut at a character boundary.
std::string CutText(std::string_view text, int bufferSize = kTextBufferSize);

}  // namespace panel
