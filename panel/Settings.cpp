#include "panel/Settings.h"

#include <string.h>
#include <sys/stat.h>

#include "platform/PrivateProfile.h"

namespace {
// Every value is read through a buffer of this size: 299 characters and the terminator.
constexpr unsigned kValueBufferSize = 300;
}  // namespace

std::string ReadSetting(const char* section, const char* key, const char* defaultValue) {
    char value[kValueBufferSize];
    GetPrivateProfileStringA(section, key, defaultValue, value, sizeof value, SettingsFileName);
    WritePrivateProfileStringA(section, key, value, SettingsFileName);
    return value;
}

std::string PeekSetting(const char* section, const char* key, const char* defaultValue) {
    char value[kValueBufferSize];
    GetPrivateProfileStringA(section, key, defaultValue, value, sizeof value, SettingsFileName);
    std::string text = value;
    explicit_bzero(value, sizeof value);  // it may be a key
    return text;
}

bool SettingsReadableByOthers() {
    struct stat status {};
    return ::stat(SettingsFileName, &status) == 0 && (status.st_mode & 077) != 0;
}

void WriteSetting(const char* section, const char* key, const char* text) {
    WritePrivateProfileStringA(section, key, text, SettingsFileName);
}

bool IsYes(const std::string& text) {
    return !text.empty() && (text[0] == 'Y' || text[0] == 'y');
}

const char* YesNo(bool yes) {
    return yes ? "Yes" : "No";
}
