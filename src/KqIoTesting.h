// Test seam of the library's file transfers; not installed, not for jobs.
#pragma once

#include <cstddef>

namespace kqbitmapops_detail {

// Caps the bytes moved by one read() or write() call (0 restores the
// kernel's own limit), so tests can run the transfer loops over many calls
// without multi-GiB files.
void SetMaxTransferForTesting(std::size_t bytes) noexcept;

// Makes reads take every file as one run of data, as on a file system that
// reports no holes (true restores the default).
void ReportHolesForTesting(bool report) noexcept;

// Makes the `nth` system call of the file layer from now on fail with `err`
// (0 cancels); returns how many calls the layer made since the last arming,
// so a test can sweep a fault over every call of a workflow.
int FailFileCallForTesting(int nth, int err) noexcept;

}  // namespace kqbitmapops_detail
