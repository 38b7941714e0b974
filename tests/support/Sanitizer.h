// Which sanitizer a test binary runs under (GCC names it with a macro, clang with a feature), and
// how much longer a bound on time may be there: instrumented code runs several times slower, and
// the test command runs these passes beside other work. A bound scaled so still catches a wait
// that never ends or one that is many times too long.
#pragma once

namespace testsupport {

#if defined(__SANITIZE_ADDRESS__)
#define VANTRELL_UNDER_ASAN 1
#elif defined(__SANITIZE_THREAD__)
#define VANTRELL_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VANTRELL_UNDER_ASAN 1
#elif __has_feature(thread_sanitizer)
#define VANTRELL_UNDER_TSAN 1
#endif
#endif

#if defined(VANTRELL_UNDER_TSAN)
inline constexpr bool kSanitized = true;
inline constexpr double kTimeFactor = 5;
#elif defined(VANTRELL_UNDER_ASAN)
inline constexpr bool kSanitized = true;
inline constexpr double kTimeFactor = 3;
#else
inline constexpr bool kSanitized = false;
inline constexpr double kTimeFactor = 1;
#endif

}  // namespace testsupport
