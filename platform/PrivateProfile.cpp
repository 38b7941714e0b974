#include "platform/PrivateProfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

// A settings file is a few hundred bytes; anything this large is not ours to rewrite.
constexpr std::size_t kMaxProfileBytes = 1 << 20;

// Set by tests before they write; read by the UI thread when it writes.
std::atomic<platform::ProfileWriteHook> g_writeHook{nullptr};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The parts one after another, built by appending into one reserved string: GCC 12 at -O3 warns
// (-Wrestrict, a false positive) on chains of std::string operator+ inlined here.
std::string Concat(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (std::string_view part : parts) size += part.size();
    std::string text;
    text.reserve(size);
    for (std::string_view part : parts) text.append(part);
    return text;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

// One line of the file: its text without the line end, and the line end itself ("\r\n", "\n",
// or "" for an unterminated last line).
struct Line {
    std::string_view content;
    std::string_view ending;
};

std::vector<Line> SplitLines(std::string_view text) {
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t newline = text.find('\n', start);
        if (newline == std::string_view::npos) {
            lines.push_back({text.substr(start), {}});
            break;
        }
        std::size_t contentEnd = newline;
        if (contentEnd > start && text[contentEnd - 1] == '\r') --contentEnd;
        lines.push_back({text.substr(start, contentEnd - start),
                         text.substr(contentEnd, newline + 1 - contentEnd)});
        start = newline + 1;
    }
    return lines;
}

// The line end that added lines get: the one of the file's first line, CRLF when there is none.
std::string_view LineEndOf(const std::vector<Line>& lines) {
    if (!lines.empty() && lines.front().ending == "\n") return "\n";
    return "\r\n";
}

// Text of a line as the parser sees it: blanks trimmed, and the UTF-8 byte-order mark that some
// editors put at the front of a file ignored.
std::string_view Meaning(const std::vector<Line>& lines, std::size_t index) {
    std::string_view content = lines[index].content;
    if (index == 0 && content.starts_with("\xEF\xBB\xBF")) content.remove_prefix(3);
    return Trim(content);
}

bool IsSectionLine(std::string_view meaning) {
    return meaning.starts_with('[');
}
bool IsComment(std::string_view meaning) {
    return meaning.starts_with(';') || meaning.starts_with('#');
}

std::string_view SectionName(std::string_view meaning) {
    meaning.remove_prefix(1);
    std::size_t close = meaning.find(']');
    return Trim(meaning.substr(0, close));
}

// The key of a key line, or nothing for a line that is not one.
std::optional<std::string_view> KeyName(std::string_view meaning) {
    if (meaning.empty() || IsComment(meaning) || IsSectionLine(meaning)) return std::nullopt;
    std::size_t equals = meaning.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    return Trim(meaning.substr(0, equals));
}

// Index of the first header line of `section`, or lines.size().
std::size_t FindSection(const std::vector<Line>& lines, std::string_view section) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view meaning = Meaning(lines, i);
        if (IsSectionLine(meaning) && SameName(SectionName(meaning), section)) return i;
    }
    return lines.size();
}

// One past the last line of the section whose header is at `header`.
std::size_t SectionEnd(const std::vector<Line>& lines, std::size_t header) {
    std::size_t i = header + 1;
    while (i < lines.size() && !IsSectionLine(Meaning(lines, i))) ++i;
    return i;
}

std::size_t FindKey(const std::vector<Line>& lines, std::size_t header, std::size_t end,
                    std::string_view key) {
    for (std::size_t i = header + 1; i < end; ++i) {
        std::optional<std::string_view> name = KeyName(Meaning(lines, i));
        if (name && SameName(*name, key)) return i;
    }
    return end;
}

std::string Join(const std::vector<Line>& lines) {
    std::string text;
    for (const Line& line : lines) {
        text += line.content;
        text += line.ending;
    }
    return text;
}

// --- file access ---------------------------------------------------------------------------

enum class ReadResult { kRead, kMissing, kFailed };

// Only a regular file is read. The name is opened without following a symbolic link and without
// blocking (a FIFO would otherwise wait for a writer, a device for whatever it waits for), and
// anything but a regular file is refused before a byte is read. `st` gets the file's status.
ReadResult ReadWholeFile(const char* path, std::string& text, struct stat& st) {
    text.clear();
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) > kMaxProfileBytes) {
        close(fd);
        return ReadResult::kFailed;
    }
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || text.size() + static_cast<std::size_t>(n) > kMaxProfileBytes) {
            close(fd);
            return ReadResult::kFailed;
        }
        if (n == 0) break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    return ReadResult::kRead;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Writes `text` to a new file beside `target`, flushes it to the disk and renames it over
// `target`: at every moment `target` is either the old file, whole, or the new one, whole.
// `old` (nullptr for a new file) gives the permissions and owner to keep.
bool ReplaceFile(const std::string& target, std::string_view text, const struct stat* old) {
    std::size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

    static unsigned counter = 0;  // UI thread only
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 10 && fd < 0; ++attempt) {
        temporary = (slash == std::string::npos ? std::string() : folder) + "." + base + "." +
                    std::to_string(getpid()) + "." + std::to_string(++counter) + ".tmp";
        // A new file is its owner's alone (0600): it may come to hold a key. O_EXCL never
        // follows a symbolic link.
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;

    bool ok = true;
    if (old != nullptr) {
        ok = fchmod(fd, old->st_mode & 07777) == 0;
        // Keeps the file its owner's when root writes it; fails harmlessly for everyone else.
        // Not tried when the file is the writer's already (a service whose system calls are
        // filtered is then never refused one).
        if (old->st_uid != geteuid() || old->st_gid != getegid()) {
            [[maybe_unused]] int owned = fchown(fd, old->st_uid, old->st_gid);
        }
    }
    ok = ok && WriteAll(fd, text) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    platform::ProfileWriteHook hook = g_writeHook.load(std::memory_order_acquire);
    ok = ok && (hook == nullptr || hook(temporary.c_str()));
    ok = ok && rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(temporary.c_str());
        return false;
    }
    // Makes the rename itself survive a power cut; the file is already whole either way.
    int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}

bool HasLineEnd(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

namespace platform {

std::optional<std::string> ProfileLookup(std::string_view text, std::string_view section,
                                         std::string_view key) {
    std::vector<Line> lines = SplitLines(text);
    std::size_t header = FindSection(lines, Trim(section));
    if (header == lines.size()) return std::nullopt;
    std::size_t end = SectionEnd(lines, header);
    std::size_t found = FindKey(lines, header, end, Trim(key));
    if (found == end) return std::nullopt;
    std::string_view meaning = Meaning(lines, found);
    std::string_view value = Trim(meaning.substr(meaning.find('=') + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

std::string ProfileUpdate(std::string_view text, std::string_view section, const char* key,
                          const char* value) {
    std::vector<Line> lines = SplitLines(text);
    const std::string_view eol = LineEndOf(lines);
    section = Trim(section);
    std::string_view keyName = key != nullptr ? Trim(key) : std::string_view();
    std::string_view newValue = value != nullptr ? std::string_view(value) : std::string_view();
    newValue = newValue.substr(0, newValue.find_first_of("\r\n"));

    // Storage for the lines made here; reserved so that the views into it stay valid.
    std::vector<std::string> made;
    made.reserve(3);
    auto keyLine = [&](std::string_view name) -> std::string_view {
        made.push_back(Concat({name, "=", newValue}));
        return made.back();
    };
    // Inserting after an unterminated last line first ends it.
    auto terminate = [&](std::size_t index) {
        if (index < lines.size() && lines[index].ending.empty()) lines[index].ending = eol;
    };

    std::size_t header = FindSection(lines, section);
    if (header == lines.size()) {
        if (key == nullptr || value == nullptr) return std::string(text);
        if (!lines.empty()) terminate(lines.size() - 1);
        made.push_back(Concat({"[", section, "]"}));
        lines.push_back({made.back(), eol});
        lines.push_back({keyLine(keyName), eol});
        return Join(lines);
    }
    std::size_t end = SectionEnd(lines, header);
    if (key == nullptr) {
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(header),
                    lines.begin() + static_cast<std::ptrdiff_t>(end));
        return Join(lines);
    }
    std::size_t found = FindKey(lines, header, end, keyName);
    if (found < end) {
        if (value == nullptr) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(found));
        } else {
            lines[found].content = keyLine(*KeyName(Meaning(lines, found)));
        }
        return Join(lines);
    }
    if (value == nullptr) return std::string(text);
    // After the section's last line that is neither blank nor a comment (a comment just above
    // the next header belongs to that section), else right after the header.
    std::size_t after = header;
    for (std::size_t i = header + 1; i < end; ++i) {
        std::string_view meaning = Meaning(lines, i);
        if (!meaning.empty() && !IsComment(meaning)) after = i;
    }
    terminate(after);
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(after + 1),
                 Line{keyLine(keyName), eol});
    return Join(lines);
}

void SetProfileWriteHook(ProfileWriteHook hook) {
    g_writeHook.store(hook, std::memory_order_release);
}

}  // namespace platform

unsigned GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue,
                                  char* buffer, unsigned size, const char* fileName) {
    if (buffer == nullptr || size == 0) return 0;
    std::string value;
    std::string text;
    std::optional<std::string> found;
    struct stat st {};
    if (section != nullptr && key != nullptr && fileName != nullptr &&
        ReadWholeFile(fileName, text, st) == ReadResult::kRead) {
        found = platform::ProfileLookup(text, section, key);
    }
    if (found) {
        value = std::move(*found);
    } else {
        std::string_view fallback = defaultValue != nullptr ? defaultValue : "";
        while (!fallback.empty() && IsBlank(fallback.back())) fallback.remove_suffix(1);
        value = fallback;
    }
    std::size_t copied = std::min<std::size_t>(value.size(), size - 1);
    std::memcpy(buffer, value.data(), copied);
    buffer[copied] = '\0';
    return static_cast<unsigned>(copied);
}

int WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                               const char* fileName) {
    if (section == nullptr || fileName == nullptr || HasLineEnd(section) ||
        std::strchr(section, ']') != nullptr) {
        return 0;
    }
    if (key != nullptr && (HasLineEnd(key) || std::strchr(key, '=') != nullptr)) return 0;

    // The name itself is replaced, never what a symbolic link points to: a link, like anything
    // but a regular file, cannot be read and so is never replaced.
    const std::string target = fileName;
    std::string old;
    struct stat st {};
    ReadResult read = ReadWholeFile(target.c_str(), old, st);
    if (read == ReadResult::kFailed) return 0;  // never replace what could not be read
    const bool exists = read == ReadResult::kRead;
    // A read-only file stays untouched, also for root (rename needs only the folder's permission).
    if (exists && ((st.st_mode & 0222) == 0 || access(target.c_str(), W_OK) != 0)) return 0;

    std::string updated = platform::ProfileUpdate(old, section, key, value);
    if (exists && updated == old) return 1;
    if (!exists && updated.empty()) return 1;  // deleting from a missing file
    return ReplaceFile(target, updated, exists ? &st : nullptr) ? 1 : 0;
}
