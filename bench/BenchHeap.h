// Heap accounting for the benchmarks: every program that links BenchHeap.cpp
// has the global operator new and delete replaced, so the most an operation
// held at once can be read as a multiple of the bitmap it worked on.
//
//   std::size_t base = kqbench::heap::Start();
//   op();
//   std::size_t used = kqbench::heap::PeakSince(base);
#pragma once

#include <cstddef>

namespace kqbench {
namespace heap {

// Bytes held right now through operator new.
std::size_t Live() noexcept;
// Starts a measurement: forgets earlier peaks and returns what is held now.
std::size_t Start() noexcept;
// The most held at once since Start, above what Start returned.
std::size_t PeakSince(std::size_t base) noexcept;

}  // namespace heap
}  // namespace kqbench
