#include "tests/support/ProcessCounts.h"

#include <dirent.h>

namespace testsupport {

int CountEntries(const char* directory) {
    DIR* dir = opendir(directory);
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        const char* n = entry->d_name;
        if (!(n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))) ++count;
    }
    closedir(dir);
    return count;
}

int OpenDescriptors() {
    return CountEntries("/proc/self/fd") - 1;  // the directory stream's own descriptor
}

int ThreadCount() {
    return CountEntries("/proc/self/task");
}

}  // namespace testsupport
