// Allocation counting and fault injection for the interface tests.
//
// alloc_fault.cpp replaces the global operator new and operator delete of this
// test program (and only of this program). While a thread is armed, every
// allocation it makes through operator new is counted, and the one whose number
// equals the armed failure point throws std::bad_alloc instead of allocating.
// Other threads, and the arming thread once disarmed, are never affected.
#ifndef INTERFACE_TESTS_ALLOC_FAULT_H
#define INTERFACE_TESTS_ALLOC_FAULT_H

#include <cstddef>

namespace alloc_fault {

/// What the calling thread's allocations did between Arm and Disarm.
struct Report {
    std::size_t allocations = 0;  ///< calls of operator new, the failing one included
    bool injected = false;        ///< the failure point was reached and bad_alloc thrown
};

/// Starts counting the calling thread's allocations from zero. With @p failAt > 0
/// the failAt-th allocation (counting from 1) throws std::bad_alloc; with 0 none fails.
void Arm(std::size_t failAt);

/// Stops counting on the calling thread and reports what happened since Arm.
Report Disarm();

}  // namespace alloc_fault

#endif  // INTERFACE_TESTS_ALLOC_FAULT_H
