#include "tests/support/StatusQuery.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

namespace testsupport {

namespace {
using Clock = std::chrono::steady_clock;
constexpr auto kPoll = std::chrono::milliseconds(100);
}  // namespace

CStatusQuery::CStatusQuery(std::string program, std::string runtime,
                           std::function<void()> beforeEach)
    : m_program(std::move(program)),
      m_runtime(std::move(runtime)),
      m_beforeEach(std::move(beforeEach)) {}

std::string CStatusQuery::Output(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

std::string CStatusQuery::Run(const std::string& arguments) const {
    if (m_beforeEach) m_beforeEach();
    return Output("XDG_RUNTIME_DIR=" + m_runtime + " timeout -k 2 10 " + m_program + " " +
                  arguments);
}

std::string CStatusQuery::Json(const std::string& site, const std::string& expression) const {
    const std::string out = Run("--json " + site +
                                " | python3 -c 'import json,sys; e=json.load(sys.stdin)"
                                "[\"ends\"][0]; print(" +
                                expression + ")' 2>/dev/null");
    return out.empty() ? out : out.substr(0, out.size() - 1);
}

std::string CStatusQuery::WaitFor(const std::string& site, const std::string& expression,
                                  const std::string& expected, int seconds) const {
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::string value = Json(site, expression);
    while (value != expected && Clock::now() < end) {
        std::this_thread::sleep_for(kPoll);
        value = Json(site, expression);
    }
    return value;
}

std::string CStatusQuery::Settled(const std::string& site, const std::string& expression) const {
    const auto end = Clock::now() + std::chrono::seconds(5);
    std::string value = Json(site, expression);
    for (int same = 0; same < 5 && Clock::now() < end;) {
        std::this_thread::sleep_for(kPoll);
        const std::string next = Json(site, expression);
        same = next == value ? same + 1 : 0;
        value = next;
    }
    return value;
}

}  // namespace testsupport
