// Test seam of the library's file transfers; not installed, not for jobs.
#pragma once

#include <cstddef>

namespace kqbitmapops_detail {

// Caps the bytes moved by one read() or write() call (0 restores the
// kernel's own limit), so tests can run the transfer loops over many calls
// without multi-GiB files.
void SetMaxTransferForTesting(std::size_t bytes) noexcept;

}  // namespace kqbitmapops_detail
