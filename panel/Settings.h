// The settings file: every setting of the program, read and written through the private-profile
// functions under the name SettingsFileName. The dialog is the only reader and writer, on the UI
// thread; failures to write are not reported (the dialog runs on what it read).
#pragma once

#include <string>

// Relative to the process's working directory.
inline constexpr const char* SettingsFileName = "./Vantrell.INI";

// The value of `key` (or `defaultValue` when the file or key is missing), at most 299 characters,
// written straight back to the same key so that the file holds every key after the first run.
std::string ReadSetting(const char* section, const char* key, const char* defaultValue);

// The value of `key` (or `defaultValue`), at most 299 characters, read without writing anything
// back: a setting that only some files hold (the tunnel key) leaves a file without it as it is.
std::string PeekSetting(const char* section, const char* key, const char* defaultValue);

// True when the settings file exists and its mode lets its group or others read it.
bool SettingsReadableByOthers();

// Writes one key, creating section and file as needed; the result is ignored.
void WriteSetting(const char* section, const char* key, const char* text);

// A yes/no value counts as yes when its first character is 'Y' or 'y' ("1", "true", "" are no).
bool IsYes(const std::string& text);

// "Yes" or "No", as the check boxes write them.
const char* YesNo(bool yes);
