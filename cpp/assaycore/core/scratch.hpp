// Scratch matrices for one call.
//
// A whole-market intermediate is hundreds of megabytes of fresh memory per
// call; faulting it in 4 KiB pages costs more than the arithmetic on a small
// table. Large buffers are therefore mapped 2 MiB-aligned and marked for
// transparent huge pages, which the kernel then faults in 512 times fewer
// steps. Nothing is kept between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quellix::assaycore::core {

template <class T>
class Scratch {
public:
    explicit Scratch(std::size_t n) : bytes_(n * sizeof(T)) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        constexpr std::size_t huge = std::size_t{1} << 21;
        if (bytes_ >= huge / 2) {
            // Rounded up to whole huge pages; the part never touched costs nothing.
            mapped_ = (bytes_ + huge - 1) / huge * huge + huge;
            void* p = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
            map_ = static_cast<char*>(p);
            const auto at = reinterpret_cast<std::uintptr_t>(map_);
            data_ = reinterpret_cast<T*>((at + huge - 1) & ~(huge - 1));
            madvise(data_, mapped_ - huge, MADV_HUGEPAGE);  // advice only: plain pages if refused
            return;
        }
#endif
        heap_.reset(new T[n]);
        data_ = heap_.get();
    }
    ~Scratch() {
#if defined(__linux__)
        if (map_) munmap(map_, mapped_);
#endif
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    T* get() { return data_; }

private:
    std::size_t bytes_;
    std::size_t mapped_ = 0;
    char* map_ = nullptr;
    std::unique_ptr<T[]> heap_;
    T* data_ = nullptr;
};

}  // namespace quellix::assaycore::core
