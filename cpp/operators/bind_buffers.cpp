#include "common/block_pool.hpp"
#include "common/pybind11.hpp"
#include "operators/bindings.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

namespace quellix::operators {

namespace {

// numpy's allocator interface (version 1, numpy >= 1.22), declared here as
// numpy's headers declare it: the module is built without them, as pybind11
// reaches numpy through its exported function table.
struct Allocator {
    void* ctx;
    void* (*malloc)(void* ctx, std::size_t size);
    void* (*calloc)(void* ctx, std::size_t nelem, std::size_t elsize);
    void* (*realloc)(void* ctx, void* ptr, std::size_t new_size);
    void (*free)(void* ctx, void* ptr, std::size_t size);
};

struct Handler {
    char name[127];
    std::uint8_t version;
    Allocator allocator;
};

constexpr const char* kHandlerName = "quellix_block_pool";
constexpr int kSetHandler = 304;  // PyDataMem_SetHandler's slot in numpy's C API table

// What numpy's handler capsule points at: the interface and the pool its
// context refers to. Every array allocated through it holds the capsule, so
// the pool outlives the last of them.
struct Box {
    Handler handler{};
    std::shared_ptr<BlockPool> pool;
};

BlockPool& pool_of(void* ctx) { return *static_cast<BlockPool*>(ctx); }

void* pool_malloc(void* ctx, std::size_t size) noexcept {
    try {
        return pool_of(ctx).allocate(std::max<std::size_t>(size, 1));
    } catch (...) {
        return nullptr;
    }
}

void* pool_calloc(void* ctx, std::size_t n, std::size_t size) noexcept {
    try {
        return pool_of(ctx).allocate_zeroed(std::max<std::size_t>(n, 1), std::max<std::size_t>(size, 1));
    } catch (...) {
        return nullptr;
    }
}

void* pool_realloc(void* ctx, void* p, std::size_t size) noexcept {
    return pool_of(ctx).reallocate(p, std::max<std::size_t>(size, 1));
}

void pool_free(void* ctx, void* p, std::size_t) noexcept { pool_of(ctx).release(p); }

py::object set_handler(const py::handle& handler) {
    py::module_ core;
    try {
        core = py::module_::import("numpy._core._multiarray_umath");
    } catch (py::error_already_set&) {
        core = py::module_::import("numpy.core._multiarray_umath");  // numpy 1.x
    }
    auto table = static_cast<void**>(PyCapsule_GetPointer(core.attr("_ARRAY_API").ptr(), nullptr));
    if (!table) throw py::error_already_set();
    auto set = reinterpret_cast<PyObject* (*)(PyObject*)>(table[kSetHandler]);
    PyObject* previous = set(handler.is_none() ? nullptr : handler.ptr());
    if (!previous) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(previous);
}

class BufferPool {
public:
    BufferPool(std::size_t min_bytes, std::size_t limit_bytes) {
        auto box = std::make_unique<Box>();
        box->pool = std::make_shared<BlockPool>(min_bytes, limit_bytes);
        pool_ = box->pool;
        std::copy_n(kHandlerName, std::char_traits<char>::length(kHandlerName) + 1, box->handler.name);
        box->handler.version = 1;
        box->handler.allocator = {box->pool.get(), pool_malloc, pool_calloc, pool_realloc, pool_free};
        PyObject* capsule = PyCapsule_New(&box->handler, "mem_handler",
                                          [](PyObject* self) { delete static_cast<Box*>(PyCapsule_GetContext(self)); });
        if (!capsule) throw py::error_already_set();
        if (PyCapsule_SetContext(capsule, box.get()) != 0) {
            Py_DECREF(capsule);
            throw py::error_already_set();
        }
        box.release();
        capsule_ = py::reinterpret_steal<py::object>(capsule);
    }

    py::object activate() { return set_handler(capsule_); }

    py::dict stats() const {
        const BlockPool::Stats s = pool_->stats();
        py::dict out;
        out["reused"] = s.reused;
        out["allocated"] = s.allocated;
        out["cached_bytes"] = s.cached_bytes;
        out["cached_blocks"] = s.cached_blocks;
        return out;
    }

    void drain(bool close) { pool_->drain(close); }
    void reopen() { pool_->reopen(); }

private:
    std::shared_ptr<BlockPool> pool_;
    py::object capsule_;
};

}  // namespace

void bind_buffers(py::module_& m) {
    // A plain type as metaclass: the class needs none of pybind11's, and its stub can say so.
    py::class_<BufferPool>(m, "BufferPool", py::metaclass(reinterpret_cast<PyObject*>(&PyType_Type)),
                           "Array buffers of at least min_bytes reused through numpy's allocator while active; at "
                           "most limit_bytes kept unused.")
        .def(py::init<std::size_t, std::size_t>(), py::arg("min_bytes"), py::arg("limit_bytes"))
        .def("activate", &BufferPool::activate,
             "Makes this pool numpy's allocator in the current context; returns the handler it replaces.")
        .def("stats", &BufferPool::stats)
        .def("drain", &BufferPool::drain, "Frees the kept blocks; with close, later frees go straight to malloc.",
             py::arg("close") = false)
        .def("reopen", &BufferPool::reopen);
    m.def("set_allocator", &set_handler, "Restores numpy allocator handler `handler` (None: numpy's default) in the "
          "current context; returns the one it replaces.", py::arg("handler"));
}

}  // namespace quellix::operators
