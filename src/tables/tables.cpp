#include "tables/tables.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <memory>
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

namespace {

struct Store {
  explicit Store(int32_t capacity)
      : table(capacity == kStoreCapacity ? kStoreModulus : capacity, capacity),
        values(sizeof(double) * (static_cast<size_t>(capacity) + 1)) {}
  StoreTable table;
  ZeroPages values;
};

std::unique_ptr<Store>& store_holder() {
  static std::unique_ptr<Store> s;
  return s;
}

Store& store() {
  auto& s = store_holder();
  if (!s) s = std::make_unique<Store>(kStoreCapacity);
  return *s;
}

}  // namespace

SatTable& mst() {
  static SatTable t(kSatModulus, kSatCapacity);
  return t;
}

TypeTable& mob() {
  static TypeTable t(kTypeModulus, kTypeCapacity);
  return t;
}

StoreTable& lng() { return store().table; }
double* dbase() { return static_cast<double*>(store().values.data()); }

void use_small_store(int32_t capacity) {
  store_holder() = std::make_unique<Store>(capacity > 0 ? capacity : kStoreCapacity);
}

void newmst() { mst().init(); }
bool lokmst(const SatCode& key, int32_t& bucket, int32_t& slot) { return mst().locate(key, bucket, slot); }
int32_t putmst(const SatCode& key, int32_t& slot) { return mst().put(key, slot); }
int32_t getmst(const SatCode& key, int32_t& slot) { return mst().get(key, slot); }
void nummst(int32_t& n) { n = mst().count(); }

void newmob() { mob().init(); }
bool lokmob(const TypeCode& key, int32_t& bucket, int32_t& slot) { return mob().locate(key, bucket, slot); }
int32_t putmob(const TypeCode& key, int32_t& slot) { return mob().put(key, slot); }
int32_t getmob(const TypeCode& key, int32_t& slot) { return mob().get(key, slot); }
void nummob(int32_t& n) { n = mob().count(); }

void newlng() { lng().init(); }
bool loklng(int64_t key, int32_t& bucket, int32_t& slot) { return lng().locate(key, bucket, slot); }
int32_t putlng(int64_t key, int32_t& slot) { return lng().put(key, slot); }
int32_t getlng(int64_t key, int32_t& slot) { return lng().get(key, slot); }
void numlng(int32_t& n) { n = lng().count(); }

}  // namespace obsq
