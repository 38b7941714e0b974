// Test hosts in network namespaces: uniquely named namespaces, veth pairs created straight
// inside them, commands and code run inside, and everything removed on every exit path
// (destructors, plus a sweep of namespaces left behind by a test process that died).
//
//   CNetNamespace a("a"), b("b");
//   CNetNamespace::Link(a, "veth0", b, "veth0");
//   a.Run("ip addr add 10.9.0.1/24 dev veth0 && ip link set veth0 up");
//   { CNetNamespace::Enter inside(a); /* this thread (and threads it starts) live in a */ }
//
// Only addresses inside these namespaces (or their loopback) are ever used.
#pragma once

#include <string>

namespace testsupport {

// True when this process may create namespaces and capture (CAP_NET_ADMIN and CAP_NET_RAW).
bool HaveNetworkPrivileges();

// Skips the test when privileges are missing, but fails it under CI=true.
#define REQUIRE_NETWORK_PRIVILEGES()                                                    \
    do {                                                                                \
        if (!::testsupport::HaveNetworkPrivileges()) {                                  \
            if (::testsupport::RunningUnderCi()) {                                      \
                FAIL() << "CI=true but this test lacks CAP_NET_ADMIN/CAP_NET_RAW";      \
            }                                                                           \
            GTEST_SKIP() << "needs root or cap_net_raw,cap_net_admin (netns, capture)"; \
        }                                                                               \
    } while (0)

bool RunningUnderCi();

// Runs a shell command; returns its exit status (-1 if it could not run). Bounded by `timeout`
// seconds (the command is killed after that).
int Shell(const std::string& command, int timeoutSeconds = 30);
// Same, returning standard output (standard error is dropped); `status` optional.
std::string ShellOutput(const std::string& command, int* status = nullptr, int timeoutSeconds = 30);

class CNetNamespace {
  public:
    explicit CNetNamespace(const std::string& role);  // name: <NewTag()>-<role>
    // Name <tag>-<role>, for namespaces that belong together (one tag, several roles).
    CNetNamespace(const std::string& tag, const std::string& role);
    // A tag no other namespace of this process uses: vt<pid>-<n>.
    static std::string NewTag();
    ~CNetNamespace();
    CNetNamespace(const CNetNamespace&) = delete;
    CNetNamespace& operator=(const CNetNamespace&) = delete;

    const std::string& Name() const { return m_name; }
    bool Ok() const { return m_ok; }

    // Runs `command` with `sh -c` inside the namespace; exit status.
    int Run(const std::string& command, int timeoutSeconds = 30) const;
    std::string Output(const std::string& command, int* status = nullptr,
                       int timeoutSeconds = 30) const;
    // `ip netns exec NAME ` prefix, for commands started in the background by tests.
    std::string Exec() const { return "ip netns exec " + m_name + " "; }

    // A veth pair with one end in each namespace (links are up, offloads untouched).
    static bool Link(const CNetNamespace& a, const std::string& nameInA, const CNetNamespace& b,
                     const std::string& nameInB);

    // Moves the calling thread into the namespace for the scope; threads started meanwhile stay
    // there for their whole life.
    class Enter {
      public:
        explicit Enter(const CNetNamespace& ns);
        ~Enter();
        Enter(const Enter&) = delete;
        Enter& operator=(const Enter&) = delete;
        bool Ok() const { return m_ok; }

      private:
        int m_original = -1;
        bool m_ok = false;
    };

  private:
    std::string m_name;
    bool m_ok = false;
};

}  // namespace testsupport
