// vantrellctl --json as the status tests read it: a Python expression over one tunnel end's
// document, read once, polled until it gives the value awaited, or read once it has settled.
// Owned by a test; its thread.
#pragma once

#include <functional>
#include <string>

namespace testsupport {

class CStatusQuery {
  public:
    // `program` is vantrellctl, finding the ends served in the runtime folder `runtime`;
    // `beforeEach` (may be empty) runs before every read, to publish a fresh snapshot.
    CStatusQuery(std::string program, std::string runtime,
                 std::function<void()> beforeEach = nullptr);

    // What `vantrellctl ARGUMENTS` prints (ended after 10 s).
    std::string Run(const std::string& arguments) const;
    // The expression's value over the end `e` of `site` ("": the first end found), as Python
    // prints it; "" when vantrellctl's output does not parse.
    std::string Json(const std::string& site, const std::string& expression) const;
    // Polled every 100 ms, at most `seconds`, until the value is `expected`; the last value.
    std::string WaitFor(const std::string& site, const std::string& expression,
                        const std::string& expected, int seconds = 5) const;
    // The value once it has stayed the same over half a second (polled every 100 ms, at most
    // 5 s): counts of packets still on their way, or not yet published, are in it.
    std::string Settled(const std::string& site, const std::string& expression) const;

    // A shell command's standard output.
    static std::string Output(const std::string& command);

  private:
    std::string m_program, m_runtime;
    std::function<void()> m_beforeEach;
};

}  // namespace testsupport
