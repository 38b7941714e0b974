#include "panel/SettingsTable.h"

#include "panel/Settings.h"

namespace panel {

const KeyEntry& Entry(Key key) {
    return kKeys[static_cast<int>(key)];
}

std::string Read(Key key) {
    const KeyEntry& entry = Entry(key);
    return ReadSetting(entry.section, entry.name, entry.defaultValue);
}

void Write(Key key, const std::string& text) {
    WriteSetting(Entry(key).section, Entry(key).name, text.c_str());
}

bool ReadYes(Key key) {
    return IsYes(Read(key));
}

void WriteYes(Key key, bool yes) {
    WriteSetting(Entry(key).section, Entry(key).name, YesNo(yes));
}

}  // namespace panel
