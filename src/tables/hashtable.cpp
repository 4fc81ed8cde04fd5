#include "tables/hashtable.hpp"

#include <sys/mman.h>

#include <new>

namespace obsq {

ZeroPages::ZeroPages(size_t bytes) : bytes_(bytes) {
  data_ = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (data_ == MAP_FAILED) throw std::bad_alloc();
}

ZeroPages::~ZeroPages() { ::munmap(data_, bytes_); }

void ZeroPages::clear() {
  // Small arrays are cheaper to clear by hand; large ones go back to the system as zero pages.
  if (bytes_ < (size_t{1} << 20))
    std::memset(data_, 0, bytes_);
  else if (::madvise(data_, bytes_, MADV_DONTNEED) != 0)
    std::memset(data_, 0, bytes_);
}

}  // namespace obsq
