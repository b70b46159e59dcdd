// Linked into the test programs of a ThreadSanitizer build only.
//
// libstdc++ takes a std::timed_mutex with a deadline on the steady clock
// through pthread_mutex_clocklock, which Clang 14's ThreadSanitizer does not
// intercept: it would never see that lock taken, and report every access the
// lock guards as a race. This definition, found before the C library's, takes
// the lock through pthread_mutex_timedlock, which it does intercept, with the
// deadline moved to the realtime clock.
#include <errno.h>
#include <pthread.h>
#include <time.h>

namespace {

constexpr long long kNanosPerSecond = 1'000'000'000;

long long nanos(const timespec& t) { return t.tv_sec * kNanosPerSecond + t.tv_nsec; }

}  // namespace

extern "C" int pthread_mutex_clocklock(pthread_mutex_t* mutex, clockid_t clock, const timespec* deadline) {
    if (clock == CLOCK_REALTIME) return pthread_mutex_timedlock(mutex, deadline);
    if (clock != CLOCK_MONOTONIC) return EINVAL;
    timespec monotonic_now{};
    timespec realtime_now{};
    clock_gettime(CLOCK_MONOTONIC, &monotonic_now);
    clock_gettime(CLOCK_REALTIME, &realtime_now);
    long long left = nanos(*deadline) - nanos(monotonic_now);
    if (left < 0) left = 0;
    const long long realtime_deadline = nanos(realtime_now) + left;
    const timespec converted{static_cast<time_t>(realtime_deadline / kNanosPerSecond),
                             static_cast<long>(realtime_deadline % kNanosPerSecond)};
    return pthread_mutex_timedlock(mutex, &converted);
}
