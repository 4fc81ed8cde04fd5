// CSV output: one row per present value, in file order (epoch, type block, row, column),
// written as it is read: memory stays at one epoch and the output buffer.

#include <algorithm>

#include "cli/cli.hpp"
#include "export.hpp"
#include "pagetee.hpp"
#include "quiltfile/ahead.hpp"
#include "records/workers.hpp"

namespace obsq::exporter {

namespace {

// A text field as written, up to a zero byte; quoted, with quotes doubled, when it holds a
// comma, a quote, a blank or a control character.
void put_text(std::string& out, std::string_view s) {
  s = s.substr(0, s.find('\0'));
  const bool quote = std::any_of(s.begin(), s.end(), [](char c) {
    return c == ',' || c == '"' || static_cast<unsigned char>(c) <= ' ' || c == 127;
  });
  if (!quote) {
    out.append(s);
    return;
  }
  out += '"';
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

// The satellite of column c has a value in row r under a code of an earlier column (the same
// value: different ones are refused by Satellites::map): the row is written once. `repeat`
// tells the columns whose satellite an earlier column has.
bool written_before(const quilt::Block& b, const std::vector<int32_t>& ids,
                    const std::vector<char>& repeat, size_t r, size_t c) {
  if (!repeat[c]) return false;
  for (size_t d = 0; d < c; ++d)
    if (ids[d] == ids[c] && quilt::present(b.value(r, d))) return true;
  return false;
}

class Output {
 public:
  explicit Output(int fd) : fd_(fd) { buf_.reserve(kSize + 65536); }
  std::string& buf() { return buf_; }
  void maybe_flush() {
    if (buf_.size() >= kSize) flush();
  }
  void flush() {
    cli::write_all(fd_, buf_, "writing the CSV");
    buf_.clear();
  }

 private:
  static constexpr size_t kSize = size_t{1} << 20;
  int fd_;
  std::string buf_;
};

}  // namespace

void write_csv(const Options& o, int fd, report::Day* page) {
  Selection sel(o);
  Runs day(o.inputs, o.allow_gaps);
  const quilt::Header& h = day.header();
  // The receiver part of each row: "RECEIVER,MARKER,".
  std::vector<std::string> receiver(h.receivers.size());
  for (size_t i = 0; i < receiver.size(); ++i) {
    receiver[i] = std::to_string(i) + ",";
    put_text(receiver[i], h.receivers[i].marker);
    receiver[i] += ',';
  }
  Output out(fd);
  out.buf() += "second_of_day,receiver,marker,satellite,type,value\n";
  std::vector<std::string> column;  // "SATELLITE,TYPE," of each column of a block
  Satellites sats(o);
  std::vector<int32_t> ids;
  std::vector<char> repeat;
  quilt::Epoch ep;
  // The files are parsed ahead on another core while the rows are written.
  quilt::ReadAhead ahead(day, worker_threads() > 0);
  // The page, when asked for, is gathered from the same epochs on a core of its own.
  PageTee tee(ahead, page, worker_threads() > 0);
  while (tee.next(ep)) {
    if (!sel.second(ep.second)) continue;
    const std::string second = std::to_string(ep.second) + ",";
    for (const quilt::Block& b : ep.blocks) {
      if (!sel.type(b.type)) continue;
      column.resize(b.columns());
      sats.map(b, ahead.path(), ids);
      repeat.assign(ids.size(), 0);
      for (size_t c = 0; c < ids.size(); ++c)
        for (size_t d = 0; d < c && !repeat[c]; ++d) repeat[c] = ids[d] == ids[c];
      for (size_t c = 0; c < column.size(); ++c) {
        column[c].clear();
        put_text(column[c], sats.names()[static_cast<size_t>(ids[c])]);
        column[c] += ',';
        put_text(column[c], trimmed(b.type));
        column[c] += ',';
      }
      for (size_t r = 0; r < b.rows.size(); ++r) {
        const std::string& rec = receiver[static_cast<size_t>(b.rows[r])];
        std::string& s = out.buf();
        for (size_t c = 0; c < column.size(); ++c) {
          const std::string_view v = b.value_digits(r, c);
          if (v[0] == '*') {
            if (++warnings.asterisks == 1)
              warnings.located(
                  ahead.path(), b.line + static_cast<long>(b.rows.size() + 2 + r),
                  "a value of asterisks (a number too wide for its field) is left out");
            continue;
          }
          if (!quilt::present(b.value(r, c)) || written_before(b, ids, repeat, r, c)) continue;
          s.append(second).append(rec).append(column[c]).append(v) += '\n';
        }
        out.maybe_flush();
      }
    }
  }
  out.flush();
  int32_t first = 0;
  size_t epochs = 0;
  sel.epochs(day, first, epochs);
  if (epochs == 0)
    warnings.general("no epoch to export: the file holds none within the seconds asked for");
  sel.report_unmet();
  warnings.finish(day);
  tee.finish();
}

}  // namespace obsq::exporter
