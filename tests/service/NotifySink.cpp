// A stand-in for the service manager's end of NOTIFY_SOCKET, for the service tests:
//
//   notify_sink PATH SECONDS
//
// binds an AF_UNIX datagram socket at PATH (replacing nothing: PATH must not exist), then prints
// every message it receives to standard output, one field per line ("READY=1", "STATUS=...")
// followed by an empty line, flushed at once. Ends after SECONDS, or at SIGTERM, and removes PATH.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
volatile sig_atomic_t g_stop = 0;
extern "C" void OnTerm(int) {
    g_stop = 1;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: notify_sink PATH SECONDS\n");
        return 2;
    }
    const char* path = argv[1];
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[2]));
    struct sigaction action = {};
    action.sa_handler = OnTerm;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) return 2;
    std::strcpy(address.sun_path, path);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("notify_sink: bind");
        return 1;
    }
    // The program under test may run as another user: it must be able to send here.
    chmod(path, 0666);

    static char message[65536];
    while (g_stop == 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = recv(fd, message, sizeof message - 1, 0);
        if (n < 0) continue;
        message[n] = '\0';
        std::printf("%s\n\n", message);
        std::fflush(stdout);
    }
    close(fd);
    unlink(path);
    return 0;
}
