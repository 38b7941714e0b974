// Private-profile (INI file) functions with the file format and semantics of the Win32 ones, so
// that a settings file written on Windows reads the same here and the other way round:
//  - "[Section]" opens a section; "Key=Value" lines follow; names match without regard to
//    (ASCII) case; blanks (spaces, tabs) around names and values are ignored; a value enclosed in
//    matching double or single quotation marks is read without them; the first matching section
//    and the first matching key win; lines starting with ';' or '#' are comments.
//  - A write rewrites an existing key's line in place (keeping the key's spelling and the line's
//    own line end), adds a new key after the last key line of its section (before any blank lines
//    that end the section), and a new section at the end of the file. Every other line is kept
//    byte for byte. No blank line is written between sections.
//  - Line ends: CRLF and LF are both read. Lines that a write adds or rewrites end like the file's
//    first line does; a new (or single-line, unterminated) file gets CRLF, as on Windows.
//  - Only a regular file is read or replaced. The name is opened without following a symbolic
//    link and without blocking, so a link, FIFO or device reads as an unreadable file (every key
//    its default) and is never replaced; nothing can hold up the caller.
//  - The file is replaced atomically (temporary file ".NAME.PID.N.tmp" in the same folder, flushed,
//    renamed), so a failure at any point leaves the old file whole; a crash may leave the
//    temporary file behind. Permissions and owner are kept; a file that a write creates is mode
//    0600. A file that cannot be read is never replaced, and a write that changes nothing writes
//    nothing. A file that has no write permission bit, or that the caller may not write, is left
//    alone, even for root (as a read-only file on Windows).
// Called from the UI thread only; nothing coordinates several processes that share one file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Copies the value (or `defaultValue`, nullptr meaning "", trailing blanks removed) into
// `buffer`, cut to size - 1 characters and NUL-terminated; returns the characters copied. A file
// that is missing, unreadable or larger than 1 MiB reads as empty. A null section or key reads the
// default (the forms that list section or key names are not provided).
unsigned GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue,
                                  char* buffer, unsigned size, const char* fileName);

// Writes one key, creating section and file as needed; a null `value` deletes the key, a null
// `key` deletes the section. Returns nonzero when the file now holds the change. A value is cut at
// its first CR or LF (a line end would corrupt the file). Names holding a line end, a section name
// holding ']' and a key name holding '=' are refused.
int WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                               const char* fileName);

namespace platform {

// The pure parts, text in and text out.
//
// The value of `key` in `section` of the profile `text`, quotation marks and blanks removed, or
// nothing when the section or key is missing.
std::optional<std::string> ProfileLookup(std::string_view text, std::string_view section,
                                         std::string_view key);

// `text` with the key set to `value` (null: key removed; null `key`: section removed). Names are
// taken as given (blanks trimmed); `value` is written as given.
std::string ProfileUpdate(std::string_view text, std::string_view section, const char* key,
                          const char* value);

// Test seam: called after the temporary file has been written and flushed and before it is
// renamed over the settings file. Returning false makes the write fail there (the temporary file
// is removed). nullptr removes the hook.
using ProfileWriteHook = bool (*)(const char* temporaryPath);
void SetProfileWriteHook(ProfileWriteHook hook);

}  // namespace platform
