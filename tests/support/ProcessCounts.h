// What a test counts in this process to show that cycles leak nothing: open descriptors and
// threads, read from /proc. Any thread may call these.
#pragma once

namespace testsupport {

// Entries of `directory` other than "." and ".."; -1 when it cannot be opened.
int CountEntries(const char* directory);
// Open file descriptors of this process (the one used for counting excluded).
int OpenDescriptors();
// Threads of this process.
int ThreadCount();

}  // namespace testsupport
