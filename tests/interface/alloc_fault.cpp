// Replacement global allocation functions for IVEKCustomClass_Tests.
//
// Every plain and nothrow form of operator new / new[] goes through Allocate(),
// and every matching operator delete / delete[] through std::free, so memory
// from any of these forms may be released by any of them (as the default
// implementations allow). The aligned forms are left to the runtime: they are
// replaced neither here nor in pairs, so they stay consistent among themselves.
#include "alloc_fault.h"

#include <cstdlib>
#include <new>

namespace {

// Plain thread-local flags and counters: constant-initialised, so reading them
// never allocates.
thread_local bool t_armed = false;
thread_local std::size_t t_failAt = 0;
thread_local std::size_t t_allocations = 0;
thread_local bool t_injected = false;

void* Allocate(std::size_t size) {
    if (t_armed) {
        ++t_allocations;
        if (t_failAt != 0 && t_allocations == t_failAt) {
            t_injected = true;
            throw std::bad_alloc();
        }
    }
    if (size == 0) {
        size = 1;
    }
    for (;;) {
        if (void* p = std::malloc(size)) {
            return p;
        }
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

void* AllocateNoThrow(std::size_t size) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

namespace alloc_fault {

void Arm(std::size_t failAt) {
    t_allocations = 0;
    t_injected = false;
    t_failAt = failAt;
    t_armed = true;
}

Report Disarm() {
    t_armed = false;
    Report report;
    report.allocations = t_allocations;
    report.injected = t_injected;
    return report;
}

}  // namespace alloc_fault

// The declarations in <new> carry default visibility, so these definitions are
// exported and also serve the allocations made inside libstdc++ (std::string).
void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateNoThrow(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateNoThrow(size);
}

void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
