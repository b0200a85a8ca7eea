// A counting operator new for tests that assert how many heap allocations a path makes. A test
// program that wants it lists counting_allocator.cpp among its sources: the file replaces the
// global operator new of that program. What the emulator allocates on the far side of an
// in-process line is not counted.
#pragma once

namespace quor::test {

// False in sanitizer builds, whose own allocator stays in place: nothing is counted there.
bool CountingAllocator();
void CountAllocations(bool on);
long Allocations();

}  // namespace quor::test
