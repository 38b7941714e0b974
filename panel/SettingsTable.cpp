#include "panel/SettingsTable.h"

#include "panel/Settings.h"

namespace panel {

const KeySpec& Spec(Key key) {
    return kKeys[static_cast<int>(key)];
}

std::string Read(Key key) {
    const KeySpec& spec = Spec(key);
    return ReadSetting(spec.section, spec.name, spec.defaultValue);
}

void Write(Key key, const std::string& text) {
    WriteSetting(Spec(key).section, Spec(key).name, text.c_str());
}

bool ReadYes(Key key) {
    return IsYes(Read(key));
}

void WriteYes(Key key, bool yes) {
    WriteSetting(Spec(key).section, Spec(key).name, YesNo(yes));
}

}  // namespace panel
