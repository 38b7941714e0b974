// The settings file on disk: first run, files written on the original platform, value lengths,
// yes/no values, and writes that fail part way. Each test runs in a fresh folder of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include "panel/Settings.h"
#include "platform/PrivateProfile.h"
#include "tests/support/NetNamespace.h"

namespace fs = std::filesystem;

namespace {

struct Key {
    const char* section;
    const char* key;
    const char* defaultValue;
};

// The dialog's reads at initialisation, in its order.
constexpr Key kDialogReads[] = {
    {"This End", "IP", "0.0.0.0"},  {"This End", "Mask", "255.255.255.0"},
    {"Other End", "IP", "0.0.0.0"}, {"Other End", "Mask", "255.255.255.0"},
    {"Tunnel", "IP", "0.0.0.0"},    {"Tunnel", "Port", "27659"},
    {"Listen", "Port", "27659"},    {"This End", "Adaptor", ""},
    {"Virtual", "IP", "0.0.0.0"},   {"Virtual", "MAC", "00:D0:BE:D0:BE:D0"},
    {"Tunnel", "TCP", "No"},        {"Tunnel", "TCP Initiate", "No"},
    {"ARP", "Respond", "Yes"},      {"Start", "Autostart", "No"},
    {"Start", "Hide", "No"},
};

const char kFirstRunFile[] =
    "[This End]\r\nIP=0.0.0.0\r\nMask=255.255.255.0\r\nAdaptor=\r\n"
    "[Other End]\r\nIP=0.0.0.0\r\nMask=255.255.255.0\r\n"
    "[Tunnel]\r\nIP=0.0.0.0\r\nPort=27659\r\nTCP=No\r\nTCP Initiate=No\r\n"
    "[Listen]\r\nPort=27659\r\n"
    "[Virtual]\r\nIP=0.0.0.0\r\nMAC=00:D0:BE:D0:BE:D0\r\n"
    "[ARP]\r\nRespond=Yes\r\n"
    "[Start]\r\nAutostart=No\r\nHide=No\r\n";

std::string g_seenTemporary;
std::string g_seenTemporaryText;

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Fails the write after the temporary file is complete, remembering what it held.
bool FailBeforeRename(const char* temporaryPath) {
    g_seenTemporary = temporaryPath;
    g_seenTemporaryText = ReadText(temporaryPath);
    return false;
}

class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vantrell-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_folder = pattern;
        m_previous = fs::current_path();
        fs::current_path(m_folder);
    }
    void TearDown() override {
        platform::SetProfileWriteHook(nullptr);
        fs::current_path(m_previous);
        testsupport::Shell("chattr -i '" + m_folder.string() + "' 2>/dev/null; rm -rf '" +
                           m_folder.string() + "'");
    }
    static void Put(const std::string& text, const char* name = "Vantrell.INI") {
        std::ofstream(name, std::ios::binary) << text;
    }
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_folder)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
    fs::path m_folder;
    fs::path m_previous;
};

TEST_F(SettingsFile, FirstRunCreatesEveryKeyWithItsDefaultAndASecondRunChangesNothing) {
    for (const Key& k : kDialogReads) {
        EXPECT_EQ(ReadSetting(k.section, k.key, k.defaultValue), k.defaultValue)
            << k.section << "/" << k.key;
    }
    EXPECT_EQ(ReadText("Vantrell.INI"), kFirstRunFile);
    EXPECT_EQ(Names(), std::set<std::string>{"Vantrell.INI"});  // no temporary file left

    struct stat before {};
    ASSERT_EQ(stat("Vantrell.INI", &before), 0);
    EXPECT_EQ(before.st_mode & 07777, 0600u) << "a created file is its owner's alone";
    for (const Key& k : kDialogReads) ReadSetting(k.section, k.key, "other default");
    struct stat after {};
    ASSERT_EQ(stat("Vantrell.INI", &after), 0);
    EXPECT_EQ(ReadText("Vantrell.INI"), kFirstRunFile);
    EXPECT_EQ(after.st_ino, before.st_ino) << "an unchanged file must not be rewritten";
}

TEST_F(SettingsFile, FileFromTheOriginalPlatformReadsAndKeepsItsOtherLines) {
    Put("; Vantrell settings\r\n"
        "[this end]\r\n"
        "ip = 10.1.0.0\r\n"
        "MASK=255.255.0.0\r\n"
        "Note=written by hand\r\n"
        "adaptor = \"No Description (eth0)\"\r\n"
        "\r\n"
        "[Other End]\r\n"
        "IP=10.2.0.0\r\n"
        "\r\n"
        "[Extra]\r\n"
        "Something=kept\r\n"
        "\r\n"
        "[TUNNEL]\r\n"
        "tcp=yes\r\n");
    EXPECT_EQ(ReadSetting("This End", "IP", "0.0.0.0"), "10.1.0.0");
    EXPECT_EQ(ReadSetting("This End", "Mask", "255.255.255.0"), "255.255.0.0");
    EXPECT_EQ(ReadSetting("Other End", "IP", "0.0.0.0"), "10.2.0.0");
    EXPECT_EQ(ReadSetting("Other End", "Mask", "255.255.255.0"), "255.255.255.0");
    EXPECT_EQ(ReadSetting("Tunnel", "IP", "0.0.0.0"), "0.0.0.0");
    EXPECT_EQ(ReadSetting("Tunnel", "Port", "27659"), "27659");
    EXPECT_EQ(ReadSetting("Listen", "Port", "27659"), "27659");
    EXPECT_EQ(ReadSetting("This End", "Adaptor", ""), "No Description (eth0)");
    EXPECT_TRUE(IsYes(ReadSetting("Tunnel", "TCP", "No")));
    WriteSetting("Tunnel", "TCP", YesNo(false));

    EXPECT_EQ(ReadText("Vantrell.INI"),
              "; Vantrell settings\r\n"
              "[this end]\r\n"
              "ip=10.1.0.0\r\n"
              "MASK=255.255.0.0\r\n"
              "Note=written by hand\r\n"
              "adaptor=No Description (eth0)\r\n"
              "\r\n"
              "[Other End]\r\n"
              "IP=10.2.0.0\r\n"
              "Mask=255.255.255.0\r\n"
              "\r\n"
              "[Extra]\r\n"
              "Something=kept\r\n"
              "\r\n"
              "[TUNNEL]\r\n"
              "tcp=No\r\n"
              "IP=0.0.0.0\r\n"
              "Port=27659\r\n"
              "[Listen]\r\n"
              "Port=27659\r\n");
}

TEST_F(SettingsFile, LongValuesComeBackCutAndYesNoValuesAreReadByTheirFirstCharacter) {
    const std::string longValue(400, 'x');
    Put("[Virtual]\nMAC=" + longValue + "\n[Tunnel]\nTCP=yes\nTCP Initiate=1\n[ARP]\n" +
        "Respond=true\n[Start]\nAutostart=\n");
    EXPECT_EQ(ReadSetting("Virtual", "MAC", "00:D0:BE:D0:BE:D0"), std::string(299, 'x'));
    const std::string tcp = ReadSetting("Tunnel", "TCP", "No");
    EXPECT_EQ(tcp, "yes");
    EXPECT_TRUE(IsYes(tcp));
    EXPECT_FALSE(IsYes(ReadSetting("Tunnel", "TCP Initiate", "No")));
    EXPECT_FALSE(IsYes(ReadSetting("ARP", "Respond", "Yes")));
    EXPECT_FALSE(IsYes(ReadSetting("Start", "Autostart", "No")));
    EXPECT_TRUE(IsYes("Y"));
    EXPECT_TRUE(IsYes(YesNo(true)));
    EXPECT_FALSE(IsYes(YesNo(false)));
    // Read values go back as read: cut to 299 characters, "yes" unchanged; the file's LF line
    // ends stay.
    EXPECT_EQ(ReadText("Vantrell.INI"), "[Virtual]\nMAC=" + std::string(299, 'x') +
                                            "\n[Tunnel]\nTCP=yes\nTCP Initiate=1\n[ARP]\n"
                                            "Respond=true\n[Start]\nAutostart=\n");
}

TEST_F(SettingsFile, FailureBetweenTemporaryFileAndRenameLeavesTheOldFile) {
    const std::string old = "[Tunnel]\r\nPort=1000\r\n; keep me\r\n";
    Put(old);
    platform::SetProfileWriteHook(&FailBeforeRename);
    WriteSetting("Tunnel", "Port", "2000");
    EXPECT_EQ(ReadText("Vantrell.INI"), old);
    // The new text had been written completely, beside the settings file, and is gone again.
    EXPECT_EQ(fs::path(g_seenTemporary).parent_path(), fs::path("."));
    EXPECT_EQ(g_seenTemporaryText, "[Tunnel]\r\nPort=2000\r\n; keep me\r\n");
    EXPECT_EQ(Names(), std::set<std::string>{"Vantrell.INI"});
    EXPECT_EQ(ReadSetting("Tunnel", "Port", "27659"), "1000");  // runs on what it read

    platform::SetProfileWriteHook(nullptr);
    WriteSetting("Tunnel", "Port", "2000");
    EXPECT_EQ(ReadText("Vantrell.INI"), "[Tunnel]\r\nPort=2000\r\n; keep me\r\n");
}

TEST_F(SettingsFile, WriteThatRunsOutOfSpaceLeavesTheOldFile) {
    // A file-size limit makes write() fail part way through the temporary file, as a full disk
    // does; it binds root as well. The old file is larger than the limit.
    const std::string old = "[Tunnel]\r\nPort=1000\r\n;" + std::string(3000, '-') + "\r\n";
    Put(old);
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int written = WritePrivateProfileStringA("Tunnel", "Port", "2000", SettingsFileName);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(written, 0);
    EXPECT_EQ(ReadText("Vantrell.INI"), old);
    EXPECT_EQ(Names(), std::set<std::string>{"Vantrell.INI"});
}

TEST_F(SettingsFile, FolderThatCannotBeWrittenLeavesTheOldFileAndTheValuesAsRead) {
    const std::string old = "[Listen]\r\nPort=1234\r\n";
    Put(old);
    // An immutable folder refuses new files and renames even to root (a mode of 0555 would not).
    if (testsupport::Shell("chattr +i '" + m_folder.string() + "'") != 0) {
        GTEST_SKIP() << "this file system has no immutable flag";
    }
    EXPECT_EQ(ReadSetting("Listen", "Port", "27659"), "1234");
    EXPECT_EQ(ReadSetting("Start", "Hide", "No"), "No");
    WriteSetting("Listen", "Port", "99");
    EXPECT_EQ(WritePrivateProfileStringA("Listen", "Port", "99", SettingsFileName), 0);
    ASSERT_EQ(testsupport::Shell("chattr -i '" + m_folder.string() + "'"), 0);
    EXPECT_EQ(ReadText("Vantrell.INI"), old);
    EXPECT_EQ(Names(), std::set<std::string>{"Vantrell.INI"});
}

TEST_F(SettingsFile, ReadOnlyFileAndMissingFolderAreHandledSafely) {
    // A file without write permission stays as it is, even for root.
    const std::string old = "[Listen]\r\nPort=1234\r\n";
    Put(old);
    ASSERT_EQ(chmod("Vantrell.INI", 0444), 0);
    EXPECT_EQ(ReadSetting("Listen", "Port", "27659"), "1234");
    WriteSetting("Listen", "Port", "99");
    EXPECT_EQ(ReadText("Vantrell.INI"), old);

    // A path whose parent is a file: nothing can be written; reads give the defaults.
    Put("not a folder", "plain");
    char value[300];
    EXPECT_EQ(WritePrivateProfileStringA("S", "K", "v", "plain/Vantrell.INI"), 0);
    EXPECT_EQ(GetPrivateProfileStringA("S", "K", "def  ", value, sizeof value, "plain/x.INI"), 3u);
    EXPECT_STREQ(value, "def");

    // Permissions survive the replacement.
    Put("[A]\nK=1\n", "real.INI");
    ASSERT_EQ(chmod("real.INI", 0640), 0);
    EXPECT_EQ(WritePrivateProfileStringA("A", "K", "2", "real.INI"), 1);
    EXPECT_EQ(ReadText("real.INI"), "[A]\nK=2\n");
    struct stat st {};
    ASSERT_EQ(stat("real.INI", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// Input the program never writes itself: a key holding '=' is refused (it would read back as
// another key), and a file over 1 MiB is neither read nor replaced.
TEST_F(SettingsFile, KeyWithAnEqualsSignAndAFileOverOneMebibyteAreRefused) {
    Put("[A]\r\nK=1\r\n");
    EXPECT_EQ(WritePrivateProfileStringA("A", "K=2", "x", SettingsFileName), 0);
    EXPECT_EQ(ReadText("Vantrell.INI"), "[A]\r\nK=1\r\n");

    const std::string big = "[A]\r\nK=1\r\n;" + std::string(1 << 20, '-') + "\r\n";
    Put(big);
    char value[8];
    EXPECT_EQ(GetPrivateProfileStringA("A", "K", "none", value, sizeof value, SettingsFileName),
              4u);
    EXPECT_STREQ(value, "none");
    EXPECT_EQ(WritePrivateProfileStringA("A", "K", "2", SettingsFileName), 0);
    EXPECT_EQ(ReadText("Vantrell.INI"), big);
}

// Runs `work` in a child process; true when it ended normally within `seconds` (else the child is
// killed), so a read that blocks fails the test instead of hanging it.
template <typename Work>
bool EndsWithin(int seconds, Work work) {
    const pid_t pid = fork();
    if (pid == 0) _exit(work() ? 0 : 1);
    int status = 0;
    for (int i = 0; i < seconds * 100; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return false;
}

// Only a regular file is read or replaced: a link is not followed (neither to a file nor to a
// device), and a FIFO cannot hold up the window. Each reads as missing keys, and nothing is
// written through it.
TEST_F(SettingsFile, LinksFifosAndDevicesAreNeitherReadNorReplaced) {
    Put("[Listen]\nPort=1234\n", "real.INI");
    fs::create_symlink("real.INI", "Vantrell.INI");
    EXPECT_EQ(ReadSetting("Listen", "Port", "27659"), "27659");
    EXPECT_EQ(WritePrivateProfileStringA("Listen", "Port", "99", SettingsFileName), 0);
    EXPECT_TRUE(fs::is_symlink("Vantrell.INI"));
    EXPECT_EQ(ReadText("real.INI"), "[Listen]\nPort=1234\n");

    fs::remove("Vantrell.INI");
    fs::create_symlink("/dev/zero", "Vantrell.INI");
    EXPECT_EQ(ReadSetting("Listen", "Port", "27659"), "27659");
    EXPECT_TRUE(fs::is_symlink("Vantrell.INI"));
    fs::remove("Vantrell.INI");
    fs::create_symlink("missing.INI", "Vantrell.INI");  // dangling: not created through it
    WriteSetting("Listen", "Port", "99");
    EXPECT_FALSE(fs::exists("missing.INI"));

    fs::remove("Vantrell.INI");
    ASSERT_EQ(mkfifo("Vantrell.INI", 0600), 0);
    // No writer ever opens the FIFO: a blocking open would wait for ever.
    EXPECT_TRUE(EndsWithin(5, [] {
        return ReadSetting("Listen", "Port", "27659") == "27659" &&
               WritePrivateProfileStringA("Listen", "Port", "99", SettingsFileName) == 0;
    }));
    struct stat st {};
    ASSERT_EQ(lstat("Vantrell.INI", &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(Names(), (std::set<std::string>{"Vantrell.INI", "real.INI"}));
}

TEST(GetPrivateProfileString, CutsToTheBufferAndTerminates) {
    char pattern[] = "/tmp/vantrell-profile-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string file = std::string(pattern) + "/p.INI";
    ASSERT_EQ(WritePrivateProfileStringA("S", "K", "abcdef", file.c_str()), 1);
    char small[4] = {'?', '?', '?', '?'};
    EXPECT_EQ(GetPrivateProfileStringA("s", "k", "", small, sizeof small, file.c_str()), 3u);
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(GetPrivateProfileStringA("S", "K", "", small, 0, file.c_str()), 0u);
    fs::remove_all(pattern);
}

}  // namespace
