#include "sequences/frame/names.hpp"

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <new>
#include <string_view>
#include <unordered_map>

namespace morvane {

namespace {

// The table's memory comes from malloc: std::allocator's overflow check calls a
// libstdc++ function that only recent systems have, which would raise the oldest
// Linux a wheel of the module can install on.
template <class T>
struct MallocAllocator {
    using value_type = T;
    MallocAllocator() = default;
    template <class U>
    MallocAllocator(const MallocAllocator<U>&) {}
    T* allocate(std::size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        if (void* p = std::malloc(n * sizeof(T))) return static_cast<T*>(p);
        throw std::bad_alloc();
    }
    void deallocate(T* p, std::size_t) { std::free(p); }
    template <class U>
    bool operator==(const MallocAllocator<U>&) const {
        return true;
    }
    template <class U>
    bool operator!=(const MallocAllocator<U>&) const {
        return false;
    }
};

}  // namespace

PyObject* interned(const char* name) {
    // The keys view the UTF-8 text of the interned strs themselves, which never go.
    static std::unordered_map<std::string_view, PyObject*, std::hash<std::string_view>, std::equal_to<std::string_view>,
                              MallocAllocator<std::pair<const std::string_view, PyObject*>>>
        table;
    const auto hit = table.find(name);
    if (hit != table.end()) return hit->second;
    PyObject* s = PyUnicode_InternFromString(name);
    if (!s) return nullptr;
    Py_ssize_t n;
    const char* text = PyUnicode_AsUTF8AndSize(s, &n);
    if (!text) {
        Py_DECREF(s);
        return nullptr;
    }
    try {
        table.emplace(std::string_view(text, static_cast<std::size_t>(n)), s);
    } catch (...) {
        Py_DECREF(s);
        return PyErr_NoMemory();
    }
    return s;
}

}  // namespace morvane
