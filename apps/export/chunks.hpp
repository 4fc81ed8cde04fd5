// The observation variables of the NetCDF file, written a slab of epochs at a time: the reading
// thread fills every type's matrices of one chunk's worth of epochs, a writer takes the slab.
// The writer of a normal run compresses the slab's chunks itself on a thread of its own and
// hands them to HDF5 whole (direct chunk writes); the writer of a sequential run
// (OBSQUILT_SEQUENTIAL=1) gives each slab to the NetCDF library, which chunks and compresses
// it the usual way. The file is the same value for value.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace obsq::exporter {

// The chunk shape of a type variable over (epoch, receiver, satellite). Both common reads, one
// receiver's time series and one epoch's matrix, cost whole chunks: the first reads E / e
// chunks, the second R / r chunks, each of e x r x S values. The shape takes the same number of
// parts k along epochs and receivers (e = E / k, r = R / k), so that each read decompresses a
// k-th of the variable, with k chosen so that a chunk holds about kChunkTarget bytes.
struct ChunkShape {
  size_t epochs = 1, receivers = 1, satellites = 1;
  size_t values() const { return epochs * receivers * satellites; }
};
inline constexpr size_t kChunkTarget = size_t{256} << 10;
ChunkShape chunk_shape(size_t epochs, size_t receivers, size_t satellites);

// The geometry both writers share.
struct Layout {
  size_t epochs = 0, receivers = 0, satellites = 0;  // the dimensions
  ChunkShape shape;
  size_t types = 0;

  // A slab holds its chunks one after the other, each as the file stores it (epochs x
  // receivers x satellites of the chunk, row-major), so that a chunk is deflated where it lies;
  // the receivers are padded to whole chunks with rows that stay NaN.
  size_t chunks_across() const { return (receivers + shape.receivers - 1) / shape.receivers; }
  size_t slab_values() const { return chunks_across() * shape.values(); }
  // Where the satellites of receiver r at epoch e of the slab (0-based in it) begin.
  size_t at(size_t e, size_t r) const {
    return ((r / shape.receivers) * shape.epochs + e) * shape.receivers * satellites +
           (r % shape.receivers) * satellites;
  }
};

// One chunk's worth of epochs of every type's matrices, NaN where the file has no value.
struct Slab {
  size_t first = 0;                         // index of its first epoch in the epoch dimension
  std::vector<std::vector<double>> values;  // per type: Layout::slab_values(), chunk by chunk
  std::vector<char> filled;                 // per type: some value was put in
  Slab(size_t types, size_t values_per_type);
};

class SlabWriter {
 public:
  virtual ~SlabWriter() = default;
  // Takes a filled slab and gives back one NaN all over (maybe the same) to fill next.
  virtual void put(std::unique_ptr<Slab>& slab) = 0;
  // Writes what is pending and the recorded seconds (epochs x receivers); errors are raised here
  // at the latest.
  virtual void finish(const std::vector<double>& recorded_seconds) = 0;
};

// The NetCDF library writes: `nc` stays open, the caller closes it.
std::unique_ptr<SlabWriter> library_writer(int nc, const std::string& path, const Layout& layout,
                                           const std::vector<int>& type_vars, int seconds_var);
// Direct chunk writes into the closed NetCDF-4 file at `path`, whose datasets `type_names` (and
// "recorded_seconds") the library has defined; their filters are read back from the file.
std::unique_ptr<SlabWriter> direct_writer(const std::string& path, const Layout& layout,
                                          const std::vector<std::string>& type_names);

}  // namespace obsq::exporter
