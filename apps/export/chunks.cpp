#include "chunks.hpp"

#include <hdf5.h>
#include <libdeflate.h>
#include <netcdf.h>
#ifdef OBSQUILT_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

#include "cli/cli.hpp"

namespace obsq::exporter {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

size_t ceil_div(size_t a, size_t b) { return (a + b - 1) / b; }

size_t clamp_round(double x, size_t hi) {
  return std::clamp<size_t>(static_cast<size_t>(std::llround(std::max(x, 1.0))), 1,
                            std::max<size_t>(hi, 1));
}

}  // namespace

ChunkShape chunk_shape(size_t epochs, size_t receivers, size_t satellites) {
  ChunkShape c;
  c.satellites = std::max<size_t>(satellites, 1);
  if (epochs == 0 || receivers == 0) {
    c.epochs = std::max<size_t>(epochs, 1), c.receivers = std::max<size_t>(receivers, 1);
    return c;
  }
  // n chunks of about the target size; k parts along receivers, the rest along epochs (all of
  // them when the receivers are too few to be split k ways).
  const double n = static_cast<double>(epochs) * static_cast<double>(receivers * c.satellites * 8) /
                   static_cast<double>(kChunkTarget);
  const size_t kr = clamp_round(std::sqrt(n), receivers);
  const size_t ke = clamp_round(n / static_cast<double>(kr), epochs);
  c.epochs = ceil_div(epochs, ke);
  c.receivers = ceil_div(receivers, kr);
  return c;
}

Slab::Slab(size_t types, size_t values_per_type) : filled(types, 0) {
  values.reserve(types);
  for (size_t t = 0; t < types; ++t) values.emplace_back(values_per_type, kNaN);
}

namespace {

void clear(Slab& s) {
  for (size_t t = 0; t < s.values.size(); ++t)
    if (s.filled[t]) {
      std::fill(s.values[t].begin(), s.values[t].end(), kNaN);
      s.filled[t] = 0;
    }
}

void nc_check(int status, const std::string& path) {
  if (status != NC_NOERR) throw cli::Failure{path + ": NetCDF: " + nc_strerror(status)};
}

class LibraryWriter : public SlabWriter {
 public:
  LibraryWriter(int nc, const std::string& path, const Layout& l, std::vector<int> vars,
                int seconds)
      : nc_(nc), path_(path), l_(l), vars_(std::move(vars)), seconds_(seconds) {}
  // Each chunk of the slab as the hyperslab it covers: its epochs within the dimension, its
  // receivers without the padding.
  void put(std::unique_ptr<Slab>& slab) override {
    Slab& s = *slab;
    const size_t n = std::min(l_.shape.epochs, l_.epochs - s.first);
    const size_t cr = l_.shape.receivers, S = l_.satellites;
    for (size_t t = 0; t < vars_.size(); ++t) {
      if (!s.filled[t]) continue;
      for (size_t r0 = 0; r0 < l_.receivers; r0 += cr) {
        const size_t nr = std::min(cr, l_.receivers - r0);
        part_.resize(n * nr * S);
        for (size_t e = 0; e < n; ++e) {
          const double* from = s.values[t].data() + l_.at(e, r0);
          std::copy(from, from + nr * S, part_.data() + e * nr * S);
        }
        const size_t start[3] = {s.first, r0, 0}, count[3] = {n, nr, S};
        nc_check(nc_put_vara_double(nc_, vars_[t], start, count, part_.data()), path_);
      }
    }
    clear(s);
  }
  void finish(const std::vector<double>& seconds) override {
    if (!seconds.empty()) nc_check(nc_put_var_double(nc_, seconds_, seconds.data()), path_);
  }

 private:
  int nc_;
  std::string path_;
  Layout l_;
  std::vector<int> vars_;
  int seconds_;
  std::vector<double> part_;
};

// HDF5 identifiers closed on scope exit.
struct Id {
  hid_t id = H5I_INVALID_HID;
  herr_t (*close)(hid_t) = nullptr;
  Id() = default;
  Id(hid_t i, herr_t (*c)(hid_t)) : id(i), close(c) {}
  Id(Id&& o) noexcept : id(o.id), close(o.close) { o.id = H5I_INVALID_HID; }
  Id& operator=(Id&& o) noexcept {
    std::swap(id, o.id);
    std::swap(close, o.close);
    return *this;
  }
  ~Id() {
    if (id >= 0 && close) close(id);
  }
  // Closes now and tells whether that went well (a file's close writes its metadata).
  bool release() {
    const hid_t i = id;
    id = H5I_INVALID_HID;
    return i < 0 || close(i) >= 0;
  }
};

// HDF5's byte shuffle of 8-byte elements: byte j of element i goes to j * n + i.
void shuffle8(const unsigned char* in, size_t n, unsigned char* out) {
  for (size_t i = 0; i < n; ++i) {
    uint64_t x;
    std::memcpy(&x, in + 8 * i, 8);
    for (size_t j = 0; j < 8; ++j) out[j * n + i] = static_cast<unsigned char>(x >> (8 * j));
  }
}

// What one thread needs to encode chunks: its compressor and a chunk of values. Level 1, the
// default, is deflated with ISA-L's igzip where the build has it: about 2.7 times the speed of
// libdeflate's level 1 on these chunks for 4 % more bytes. Other levels ask for smaller files,
// and libdeflate gives them at the level asked. Either way the chunk is a zlib stream, as HDF5's
// deflate filter reads it.
class Encoder {
 public:
  Encoder(const ChunkShape& shape, bool shuffle, int level) : shuffle_(shuffle), level_(level) {
    if (shuffle_) shuffled_.resize(shape.values() * 8);
#ifdef OBSQUILT_HAVE_ISAL
    if (level_ == 1) {
      isal_buffer_.resize(ISAL_DEF_LVL1_DEFAULT);
      return;
    }
#endif
    if (level_ >= 0 && (compressor_ = libdeflate_alloc_compressor(level_)) == nullptr)
      throw std::bad_alloc();
  }
  ~Encoder() {
    if (compressor_) libdeflate_free_compressor(compressor_);
  }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // The chunk of receivers r0... of one type's slab, through the filters, into `out`: deflated
  // where it lies in the slab (its padding rows beyond the last receiver are NaN).
  void encode(const std::vector<double>& slab, const Layout& l, size_t r0,
              std::vector<unsigned char>& out) {
    const size_t count = l.shape.values();
    const auto* in = reinterpret_cast<const unsigned char*>(slab.data() + l.at(0, r0));
    const size_t size = count * 8;
    if (shuffle_) {
      shuffle8(in, count, shuffled_.data());
      in = shuffled_.data();
    }
    if (level_ < 0) {
      out.assign(in, in + size);
      return;
    }
#ifdef OBSQUILT_HAVE_ISAL
    if (level_ == 1) {
      // Room for the worst case, stored blocks of incompressible values and their headers.
      out.resize(size + size / 64 + 1024);
      isal_zstream z;
      isal_deflate_stateless_init(&z);
      z.level = 1;
      z.level_buf = isal_buffer_.data();
      z.level_buf_size = static_cast<uint32_t>(isal_buffer_.size());
      z.gzip_flag = IGZIP_ZLIB;
      z.end_of_stream = 1;
      z.flush = NO_FLUSH;
      z.next_in = const_cast<uint8_t*>(in);
      z.avail_in = static_cast<uint32_t>(size);
      z.next_out = out.data();
      z.avail_out = static_cast<uint32_t>(out.size());
      if (isal_deflate_stateless(&z) != COMP_OK)
        throw cli::Failure{"ISA-L: a chunk did not fit its bound"};
      out.resize(z.total_out);
      return;
    }
#endif
    out.resize(libdeflate_zlib_compress_bound(compressor_, size));
    const size_t packed = libdeflate_zlib_compress(compressor_, in, size, out.data(), out.size());
    if (packed == 0) throw cli::Failure{"libdeflate: a chunk did not fit its bound"};
    out.resize(packed);
  }

 private:
  bool shuffle_;
  int level_;
  libdeflate_compressor* compressor_ = nullptr;
  std::vector<uint8_t> isal_buffer_;
  std::vector<unsigned char> shuffled_;
};

// The slabs' chunks are encoded by a thread of its own, helped by the reading thread while that
// waits for a slab to fill, and written by the thread of its own in a fixed order (type by type,
// receivers ascending), so the file does not depend on who encoded what.
class DirectWriter : public SlabWriter {
 public:
  DirectWriter(const std::string& path, const Layout& l, const std::vector<std::string>& names)
      : path_(path), l_(l) {
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // failures are reported here, by name
    file_ = Id(H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT), H5Fclose);
    if (file_.id < 0) fail("cannot open the file for chunk writes");
    for (const std::string& name : names) {
      dsets_.emplace_back(H5Dopen2(file_.id, name.c_str(), H5P_DEFAULT), H5Dclose);
      if (dsets_.back().id < 0) fail("no dataset " + name);
      read_filters(dsets_.back().id, name);
    }
    seconds_ = Id(H5Dopen2(file_.id, "recorded_seconds", H5P_DEFAULT), H5Dclose);
    if (seconds_.id < 0) fail("no dataset recorded_seconds");
    own_ = std::make_unique<Encoder>(l_.shape, shuffle_, level_);
    helper_ = std::make_unique<Encoder>(l_.shape, shuffle_, level_);
    worker_ = std::thread([this] { work(); });
  }
  ~DirectWriter() override { stop(); }

  void put(std::unique_ptr<Slab>& slab) override {
    std::unique_lock lock(m_);
    help(lock, [&] { return !job_ && spare_; });
    if (error_) std::rethrow_exception(error_);
    job_ = std::move(slab);
    slab = std::move(spare_);
    cv_.notify_all();
    lock.unlock();
    clear(*slab);  // here, not on the encoding thread, whose work is the longer
  }

  void finish(const std::vector<double>& seconds) override {
    {
      // The last slab's chunks are encoded by both threads, as every other slab's.
      std::unique_lock lock(m_);
      help(lock, [&] { return !job_; });
    }
    stop();
    if (error_) std::rethrow_exception(error_);
    if (!seconds.empty() &&
        H5Dwrite(seconds_.id, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, seconds.data()) < 0)
      fail("cannot write recorded_seconds");
    bool ok = seconds_.release();
    for (Id& d : dsets_) ok = d.release() && ok;
    if (!file_.release() || !ok) fail("cannot close the file");
  }

 private:
  struct Task {
    size_t type = 0, r0 = 0;
    std::vector<unsigned char> bytes;  // the chunk as stored
  };

  [[noreturn]] void fail(const std::string& what) const {
    throw cli::Failure{path_ + ": HDF5: " + what};
  }

  // The filters the library put on a type variable: shuffle and deflate (as nc_def_var_deflate
  // sets them) or fewer. Each chunk must pass through the same ones, in the same order.
  void read_filters(hid_t dset, const std::string& name) {
    Id dcpl(H5Dget_create_plist(dset), H5Pclose);
    const int n = H5Pget_nfilters(dcpl.id);
    bool shuffle = false;
    int level = -1;
    for (int i = 0; i < n; ++i) {
      unsigned flags = 0, cd[8] = {};
      size_t ncd = 8;
      const H5Z_filter_t f =
          H5Pget_filter2(dcpl.id, static_cast<unsigned>(i), &flags, &ncd, cd, 0, nullptr, nullptr);
      if (f == H5Z_FILTER_SHUFFLE && i == 0 && (ncd == 0 || cd[0] == 8))
        shuffle = true;
      else if (f == H5Z_FILTER_DEFLATE && i == n - 1 && ncd >= 1 && cd[0] <= 9)
        level = static_cast<int>(cd[0]);
      else
        fail(name + ": filter " + std::to_string(f) + " at place " + std::to_string(i) +
             " is not one this writer applies");
    }
    if (!filters_known_) {
      shuffle_ = shuffle, level_ = level, filters_known_ = true;
    } else if (shuffle != shuffle_ || level != level_) {
      fail(name + ": other filters than the first type variable's");
    }
  }

  void stop() {
    {
      std::lock_guard lock(m_);
      stopping_ = true;
    }
    cv_.notify_all();
    if (worker_.joinable()) worker_.join();
  }

  // The reading thread's wait until done() holds or a failure is known: meanwhile it encodes
  // what tasks of the slab in hand are left.
  template <typename Done>
  void help(std::unique_lock<std::mutex>& lock, Done done) {
    while (!error_ && !done()) {
      if (next_ < ntasks_)
        run_task(lock, *helper_);
      else
        cv_.wait(lock);
    }
  }

  // Encodes the next task with `enc`, the lock released meanwhile.
  void run_task(std::unique_lock<std::mutex>& lock, Encoder& enc) {
    Task& task = tasks_[next_++];
    lock.unlock();
    try {
      enc.encode(active_->values[task.type], l_, task.r0, task.bytes);
    } catch (...) {
      lock.lock();
      if (!error_) error_ = std::current_exception();
      ++done_;
      cv_.notify_all();
      return;
    }
    lock.lock();
    if (++done_ == ntasks_) cv_.notify_all();
  }

  void work() {
    // The second slab is made here, while the reading thread fills the first.
    std::unique_ptr<Slab> spare;
    try {
      spare = std::make_unique<Slab>(l_.types, l_.slab_values());
    } catch (...) {
      std::lock_guard lock(m_);
      error_ = std::current_exception();
      cv_.notify_all();
      return;
    }
    std::unique_lock lock(m_);
    spare_ = std::move(spare);
    cv_.notify_all();
    for (;;) {
      cv_.wait(lock, [&] { return job_ || stopping_; });
      if (!job_) return;
      active_ = job_.get();
      size_t n = 0;  // the tasks keep their buffers from slab to slab
      for (size_t t = 0; t < l_.types; ++t) {
        if (!active_->filled[t]) continue;  // a chunk never written reads as the fill value, NaN
        for (size_t r0 = 0; r0 < l_.receivers; r0 += l_.shape.receivers, ++n) {
          if (n == tasks_.size()) tasks_.emplace_back();
          tasks_[n].type = t, tasks_[n].r0 = r0;
        }
      }
      ntasks_ = n, next_ = done_ = 0;
      cv_.notify_all();
      while (next_ < ntasks_) run_task(lock, *own_);
      cv_.wait(lock, [&] { return done_ == ntasks_; });
      if (error_) return;
      // Every chunk is encoded: the slab goes back to be filled again (the filling thread
      // clears it) while its chunks are written here.
      const hsize_t first = active_->first;
      active_ = nullptr;
      spare_ = std::move(job_);
      cv_.notify_all();
      lock.unlock();
      try {
        for (size_t k = 0; k < n; ++k) {
          const Task& task = tasks_[k];
          const hsize_t offset[3] = {first, task.r0, 0};
          if (H5Dwrite_chunk(dsets_[task.type].id, H5P_DEFAULT, 0, offset, task.bytes.size(),
                             task.bytes.data()) < 0)
            fail("cannot write a chunk");
        }
      } catch (...) {
        lock.lock();
        error_ = std::current_exception();
        cv_.notify_all();
        return;
      }
      lock.lock();
      ntasks_ = next_ = done_ = 0;
    }
  }

  std::string path_;
  Layout l_;
  Id file_, seconds_;
  std::vector<Id> dsets_;
  bool filters_known_ = false, shuffle_ = false;
  int level_ = -1;
  std::unique_ptr<Encoder> own_, helper_;

  std::mutex m_;
  std::condition_variable cv_;
  std::unique_ptr<Slab> job_, spare_;
  Slab* active_ = nullptr;
  std::vector<Task> tasks_;
  size_t ntasks_ = 0, next_ = 0, done_ = 0;
  bool stopping_ = false;
  std::exception_ptr error_;
  std::thread worker_;
};

}  // namespace

std::unique_ptr<SlabWriter> library_writer(int nc, const std::string& path, const Layout& layout,
                                           const std::vector<int>& type_vars, int seconds_var) {
  return std::make_unique<LibraryWriter>(nc, path, layout, type_vars, seconds_var);
}

std::unique_ptr<SlabWriter> direct_writer(const std::string& path, const Layout& layout,
                                          const std::vector<std::string>& type_names) {
  return std::make_unique<DirectWriter>(path, layout, type_names);
}

}  // namespace obsq::exporter
