// Large blocks handed back and forth between the nodes of one evaluation.
//
// An expression graph over a whole market frees and allocates one array of
// the same few sizes per node, hundreds of megabytes each. Fresh memory costs
// the kernel's page zeroing on first touch, which on a 10-year market took a
// third of the evaluation; a freed block kept here is handed to the next
// request of about its size instead, already mapped. Blocks are ordinary
// malloc blocks, so anything may free them once the pool is closed.
// Free of Python: the binding puts it behind numpy's allocator interface.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#if defined(__linux__)
#include <cstdint>
#include <sys/mman.h>
#endif

namespace quellix {

class BlockPool {
public:
    struct Stats {
        std::size_t reused = 0, allocated = 0, cached_bytes = 0, cached_blocks = 0;
    };

    // Blocks of at least `min_bytes` are pooled; at most `limit_bytes` are kept unused.
    BlockPool(std::size_t min_bytes, std::size_t limit_bytes) : min_bytes_(min_bytes), limit_bytes_(limit_bytes) {}
    ~BlockPool() { drain(); }
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    void* allocate(std::size_t bytes) {
        if (bytes < min_bytes_) return std::malloc(bytes);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // The smallest kept block that fits, unless it is more than twice the request:
            // a resident block serves any smaller request without new pages, but a small
            // request must not take the block a large one will ask for next.
            auto it = free_.lower_bound(bytes);
            if (it != free_.end() && it->first / 2 <= bytes) {
                void* p = it->second;
                cached_ -= it->first;
                free_.erase(it);
                ++stats_.reused;
                return p;
            }
        }
        // Rounded up to a sixteenth of its power of two, so that requests a little
        // larger (the same table with a few more rows) fit it later.
        const std::size_t step = std::max<std::size_t>(std::bit_floor(bytes) / 16, 1);
        const std::size_t capacity = (bytes + step - 1) / step * step;
        void* p = std::malloc(capacity);
        if (!p) return nullptr;
        advise_huge(p, capacity);
        std::lock_guard<std::mutex> lock(mutex_);
        capacity_[p] = capacity;
        ++stats_.allocated;
        return p;
    }

    void* allocate_zeroed(std::size_t n, std::size_t size) {
        if (size && n > static_cast<std::size_t>(-1) / size) return nullptr;
        if (n * size < min_bytes_) return std::calloc(n, size);
        void* p = allocate(n * size);
        if (p) std::memset(p, 0, n * size);
        return p;
    }

    void* reallocate(void* p, std::size_t bytes) {
        if (p) {
            std::lock_guard<std::mutex> lock(mutex_);
            capacity_.erase(p);  // its new size decides where it goes when freed
        }
        return std::realloc(p, bytes);
    }

    void release(void* p) {
        if (!p) return;
        std::unique_lock<std::mutex> lock(mutex_);
        auto it = capacity_.find(p);
        if (it == capacity_.end()) {
            lock.unlock();
            std::free(p);
            return;
        }
        const std::size_t bytes = it->second;
        if (open_ && cached_ + bytes <= limit_bytes_) {
            free_.emplace(bytes, p);
            cached_ += bytes;
            return;
        }
        capacity_.erase(it);
        lock.unlock();
        std::free(p);
    }

    // Frees every kept block; with `close`, blocks freed later go straight back to malloc.
    void drain(bool close = false) {
        std::multimap<std::size_t, void*> kept;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            kept.swap(free_);
            for (const auto& [bytes, p] : kept) capacity_.erase(p);
            cached_ = 0;
            if (close) open_ = false;
        }
        for (const auto& [bytes, p] : kept) std::free(p);
    }

    void reopen() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
    }

    Stats stats() const {
        std::lock_guard<std::mutex> lock(mutex_);
        Stats s = stats_;
        s.cached_bytes = cached_;
        s.cached_blocks = free_.size();
        return s;
    }

private:
    // As numpy does for its own large arrays: transparent huge pages fault in
    // 512 times fewer steps where the kernel grants them.
    static void advise_huge(void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        constexpr std::uintptr_t page = 4096;
        if (bytes < (std::size_t{4} << 20)) return;
        const auto at = reinterpret_cast<std::uintptr_t>(p);
        const std::uintptr_t start = (at + page - 1) & ~(page - 1);
        madvise(reinterpret_cast<void*>(start), bytes - (start - at), MADV_HUGEPAGE);
#else
        (void)p;
        (void)bytes;
#endif
    }

    const std::size_t min_bytes_, limit_bytes_;
    mutable std::mutex mutex_;
    std::multimap<std::size_t, void*> free_;           // kept blocks by capacity
    std::unordered_map<void*, std::size_t> capacity_;  // every pooled block handed out or kept
    std::size_t cached_ = 0;
    bool open_ = true;
    Stats stats_;
};

}  // namespace quellix
