// Fork-join over two cores for the big whole-market loops. Each task writes
// only its own outputs, so results never depend on how tasks are shared.
// Header-only and free of Python: callers release the GIL first.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <thread>

namespace quellix {

inline std::ptrdiff_t thread_count(std::ptrdiff_t n_tasks, std::ptrdiff_t work) {
    if (work < 200000 || n_tasks < 2) return 1;
    // hardware_concurrency() reads sysfs on every call: microseconds that a
    // small kernel call cannot afford, so ask once.
    static const std::ptrdiff_t hw = std::max(1u, std::thread::hardware_concurrency());
    return std::min<std::ptrdiff_t>({2, hw, n_tasks});
}

inline void run_threads(std::ptrdiff_t threads, const std::function<void(std::ptrdiff_t)>& body) {
    if (threads == 1) {
        body(0);
        return;
    }
    std::exception_ptr error;
    std::thread helper([&] {
        try {
            body(1);
        } catch (...) {
            error = std::current_exception();
        }
    });
    try {
        body(0);
    } catch (...) {
        helper.join();
        throw;
    }
    helper.join();
    if (error) std::rethrow_exception(error);
}

// Contiguous halves: workers that carry state from one task to the next.
inline void run_split(std::ptrdiff_t n_tasks, std::ptrdiff_t work, const std::function<void(std::ptrdiff_t, std::ptrdiff_t)>& body) {
    const std::ptrdiff_t threads = thread_count(n_tasks, work);
    run_threads(threads, [&](std::ptrdiff_t w) { body(n_tasks * w / threads, n_tasks * (w + 1) / threads); });
}

// Tasks handed out one at a time, body(worker, task): uneven tasks such as
// industries of any size.
inline void run_dynamic(std::ptrdiff_t threads, std::ptrdiff_t n_tasks, const std::function<void(std::ptrdiff_t, std::ptrdiff_t)>& body) {
    std::atomic<std::ptrdiff_t> next{0};
    run_threads(threads, [&](std::ptrdiff_t worker) {
        for (std::ptrdiff_t task = next++; task < n_tasks; task = next++) body(worker, task);
    });
}

}  // namespace quellix
