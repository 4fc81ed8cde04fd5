// The three keyed tables of the run: the satellite table (mst), the observation-type table (mob)
// and the observation store (lng) with its value array dbase. All behave as chained hash tables;
// the store keeps its slots in runs of one file-epoch (obsstore.hpp).
#pragma once

#include <array>
#include <cstdint>

#include "records/limits.hpp"
#include "tables/hashtable.hpp"
#include "tables/obsstore.hpp"

namespace obsq {

using SatCode = std::array<char, 3>;   // e.g. G05, R12, "G 5"
using TypeCode = std::array<char, 2>;  // e.g. L1, C1, P2

struct SatHash {
  // (b1 x b2 x b3) mod 499 + 1, byte values unsigned, 32-bit arithmetic.
  int32_t operator()(const SatCode& k, int32_t modulus) const {
    const int32_t p = static_cast<int32_t>(static_cast<unsigned char>(k[0])) *
                      static_cast<unsigned char>(k[1]) * static_cast<unsigned char>(k[2]);
    if (modulus == 499) return p % 499 + 1;  // a constant: no division per code
    return p % modulus + 1;
  }
};

struct TypeHash {
  // (b1 x b2) mod 47 + 1.
  int32_t operator()(const TypeCode& k, int32_t modulus) const {
    const int32_t p =
        static_cast<int32_t>(static_cast<unsigned char>(k[0])) * static_cast<unsigned char>(k[1]);
    return p % modulus + 1;
  }
};

struct KeyHash {
  // ((k div 2^30) + (k mod 2^30)) mod modulus + 1; both parts fit 32 bits for every key the
  // program forms (k >= 0).
  int32_t operator()(int64_t k, int32_t modulus) const {
    const int32_t sum = static_cast<int32_t>(k >> 30) + static_cast<int32_t>(k & ((1 << 30) - 1));
    // The store's own modulus as a constant: a multiplication instead of a division per key.
    if (modulus == 79999987) return sum % 79999987 + 1;
    return sum % modulus + 1;
  }
};

using SatTable = ChainedTable<SatCode, SatHash>;
using TypeTable = ChainedTable<TypeCode, TypeHash>;
// The observation store: the chained table's contract under KeyHash (a chained table of that
// hash is its reference), stored the way the reader files it (obsstore.hpp).
using StoreTable = ObsStore;
using ChainedStoreTable = ChainedTable<int64_t, KeyHash>;

inline constexpr int32_t kSatModulus = 499;
inline constexpr int32_t kTypeModulus = 47;
inline constexpr int32_t kStoreModulus = 79999987;

SatTable& mst();
TypeTable& mob();
StoreTable& lng();
// Values of the observation store: dbase()[s] belongs to slot s.
double* dbase();

// The operations of the three tables under their own names.
void newmst();
bool lokmst(const SatCode& key, int32_t& bucket, int32_t& slot);
int32_t putmst(const SatCode& key, int32_t& slot);
int32_t getmst(const SatCode& key, int32_t& slot);
void nummst(int32_t& n);

void newmob();
bool lokmob(const TypeCode& key, int32_t& bucket, int32_t& slot);
int32_t putmob(const TypeCode& key, int32_t& slot);
int32_t getmob(const TypeCode& key, int32_t& slot);
void nummob(int32_t& n);

void newlng();
bool loklng(int64_t key, int32_t& bucket, int32_t& slot);
int32_t putlng(int64_t key, int32_t& slot);
int32_t getlng(int64_t key, int32_t& slot);
void numlng(int32_t& n);

// Filing order of the observation store. The entries of one file-epoch (file, second) are filed
// together: its epoch-time entry first, then the epoch's values, in consecutive slots, and no
// entry of that file-epoch at any other time (the observation reader files an accepted epoch
// whole, and a repeated second stops the run at its epoch-time entry). The output writer relies
// on it: the values of a file at an epoch are the slots right after its epoch-time entry that
// share its (file, second) prefix. True when the whole store keeps this order.
bool filing_order_holds();

// Test hook: replace the observation store by one of a smaller capacity (0 = the real one).
void use_small_store(int32_t capacity);

}  // namespace obsq
