#include "tables/tables.hpp"

#include <memory>

namespace obsq {

namespace {

struct Store {
  explicit Store(int32_t capacity)
      : table(capacity == kStoreCapacity ? kStoreModulus : capacity, capacity,
              [](int64_t key, int32_t modulus) { return KeyHash{}(key, modulus); }),
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
bool lokmst(const SatCode& key, int32_t& bucket, int32_t& slot) {
  return mst().locate(key, bucket, slot);
}
int32_t putmst(const SatCode& key, int32_t& slot) { return mst().put(key, slot); }
int32_t getmst(const SatCode& key, int32_t& slot) { return mst().get(key, slot); }
void nummst(int32_t& n) { n = mst().count(); }

void newmob() { mob().init(); }
bool lokmob(const TypeCode& key, int32_t& bucket, int32_t& slot) {
  return mob().locate(key, bucket, slot);
}
int32_t putmob(const TypeCode& key, int32_t& slot) { return mob().put(key, slot); }
int32_t getmob(const TypeCode& key, int32_t& slot) { return mob().get(key, slot); }
void nummob(int32_t& n) { n = mob().count(); }

bool filing_order_holds() {
  const StoreTable& store = lng();
  int64_t open_prefix = -1;  // (file, second) of the last epoch-time entry
  for (int32_t first = 1; first < store.next();) {
    const int32_t end = store.run_end(first);
    const int64_t group = store.key(first) - store.member(first);  // a run shares this part
    for (int32_t s = first; s < end; ++s) {
      const int64_t key = group + store.member(s);
      const int64_t prefix = key / 100000;
      if (key % 100000 == 99999)
        open_prefix = prefix;  // unique: the store takes no key twice
      else if (prefix != open_prefix)
        return false;
    }
    first = end;
  }
  return true;
}

void newlng() { lng().init(); }
bool loklng(int64_t key, int32_t& bucket, int32_t& slot) { return lng().locate(key, bucket, slot); }
int32_t putlng(int64_t key, int32_t& slot) { return lng().put(key, slot); }
int32_t getlng(int64_t key, int32_t& slot) { return lng().get(key, slot); }
void numlng(int32_t& n) { n = lng().count(); }

}  // namespace obsq
