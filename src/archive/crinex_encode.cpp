#include "archive/crinex_encode.hpp"

#include <array>
#include <cstdint>
#include <vector>

#include "archive/columns.hpp"

namespace obsq::archive {

using detail::column_int;
using detail::label_is;
using detail::trimmed;

namespace {

constexpr int kValueOrder = 3;
constexpr int kClockOrder = 2;

// One arc as the decoder keeps it: levels y[0..m], order k (0: none).
struct Arc {
  int64_t y[6] = {};
  int k = 0;
  int m = 0;
};

// The field that makes the decoder's arc give x next, and the arc after it.
void put_value(Arc& a, int64_t x, int order, std::string& out) {
  if (a.k == 0) {
    a = Arc{};
    a.k = order;
    a.y[0] = x;
    out += std::to_string(order) + "&" + std::to_string(x);
    return;
  }
  // The decoder's step with a difference of 0; every level then moves by the difference.
  int64_t y[6] = {};
  if (a.m < a.k) {
    y[0] = 0;
    for (int i = 0; i < a.m + 1; ++i) y[i + 1] = y[i] + a.y[i];
    ++a.m;
  } else {
    y[0] = 0;
    for (int i = 0; i < a.m; ++i) y[i + 1] = y[i] + a.y[i + 1];
  }
  const int64_t d = x - y[a.m];
  for (int i = 0; i <= a.m; ++i) a.y[i] = y[i] + d;
  out += std::to_string(d);
}

// The text difference that turns ref into now (both without trailing blanks), its trailing
// blanks cut.
void put_difference(std::string_view ref, std::string_view now, std::string& out) {
  const size_t start = out.size();
  for (size_t i = 0; i < std::max(ref.size(), now.size()); ++i) {
    const char r = i < ref.size() ? ref[i] : ' ';
    const char c = i < now.size() ? now[i] : ' ';
    out += c == r ? ' ' : c == ' ' ? '&' : c;
  }
  while (out.size() > start && out.back() == ' ') out.pop_back();
}

class Encoder {
 public:
  Encoder(std::string_view text, std::string& out, const std::string& name)
      : text_(text), out_(out), name_(name) {
    n3_.fill(-1);
  }

  void run(std::string_view program, std::string_view date) {
    std::string_view line;
    if (!next(line) || !label_is(line, "RINEX VERSION / TYPE"))
      fail("the text must start with RINEX VERSION / TYPE");
    const char major = line.size() > 5 ? line[5] : ' ';
    v3_ = major == '3' || major == '4';
    if (!v3_ && major != '2') fail("RINEX version " + std::string(line.substr(0, 9)));
    std::string crx = v3_ ? "3.0" : "1.0";
    crx.resize(20, ' ');
    crx += "COMPACT RINEX FORMAT";
    crx.resize(60, ' ');
    out_ += crx + "CRINEX VERS   / TYPE\n";
    std::string prog(program.substr(0, 20));
    prog.resize(40, ' ');
    prog += date;
    prog.resize(60, ' ');
    out_ += prog + "CRINEX PROG / DATE\n";
    for (;;) {
      look(line);
      out_.append(line).push_back('\n');
      if (label_is(line, "END OF HEADER")) break;
      if (!next(line)) fail("the text ends inside the header");
    }
    while (next(line)) v3_ ? epoch3(line) : epoch2(line);
  }

 private:
  struct SatState {
    std::vector<Arc> arcs;
    std::string flags;
  };

  bool next(std::string_view& line) {
    if (pos_ >= text_.size()) return false;
    const size_t nl = text_.find('\n', pos_);
    const size_t end = nl == std::string_view::npos ? text_.size() : nl;
    line = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    ++line_no_;
    return true;
  }
  std::string_view need(const char* what) {
    std::string_view line;
    if (!next(line)) fail(std::string("the text ends inside ") + what);
    return line;
  }
  [[noreturn]] void fail(const std::string& m) const { throw FormatError{name_, line_no_, m}; }
  [[noreturn, gnu::cold, gnu::noinline]] void bad_fixed(std::string_view f) const {
    std::string m = "'";
    m.append(f).append("' is not a fixed-point field");
    fail(m);
  }

  // The type counts, from the header and from events.
  void look(std::string_view line) {
    if (v3_ && label_is(line, "SYS / # / OBS TYPES") && line[0] != ' ') {
      long n = 0;
      if (!column_int(line, 3, 3, n) || static_cast<unsigned char>(line[0]) >= 128)
        fail("SYS / # / OBS TYPES without a system and count");
      n3_[static_cast<unsigned char>(line[0])] = static_cast<int>(n);
    }
    if (!v3_ && label_is(line, "# / TYPES OF OBSERV") && line.find_first_not_of(' ') < 6) {
      long n = 0;
      if (!column_int(line, 0, 6, n)) fail("# / TYPES OF OBSERV without a count");
      n2_ = static_cast<int>(n);
    }
  }

  // An event: its line in full, its records as they stand; the next epoch starts afresh.
  void event(std::string_view line, long count) {
    out_.append(line).push_back('\n');
    for (long i = 0; i < count; ++i) {
      const std::string_view r = need("the records of an event");
      look(r);
      out_.append(r).push_back('\n');
    }
    ref_.clear();
    prev_.clear();
    prev_codes_.clear();
  }

  // The integer of an F14.3 (or clock) field, blanks before it; false when blank.
  bool fixed(std::string_view f, int decimals, int64_t& v) {
    f = trimmed(f);
    size_t i = f.find_first_not_of(' ');
    if (i == std::string_view::npos) return false;
    const bool neg = f[i] == '-';
    i += neg;
    if (f.size() < static_cast<size_t>(decimals) + 1 + i) bad_fixed(f);
    const size_t point = f.size() - static_cast<size_t>(decimals) - 1;
    if (f[point] != '.') bad_fixed(f);
    v = 0;
    for (; i < f.size(); ++i) {
      if (i == point) continue;
      if (f[i] < '0' || f[i] > '9') bad_fixed(f);
      v = v * 10 + (f[i] - '0');
    }
    if (neg) v = -v;
    return true;
  }

  void clock_field(std::string_view f, int decimals) {
    int64_t c = 0;
    if (fixed(f, decimals, c)) {
      put_value(clock_, c, kClockOrder, out_);
    } else {
      clock_.k = 0;  // a gap: the next offset starts a new arc
    }
    out_.push_back('\n');
  }

  // The state of a satellite of this epoch: carried on when it was in the last one.
  SatState& state(std::string_view code, size_t n) {
    for (size_t j = 0; j < prev_codes_.size(); ++j)
      if (prev_codes_[j] == code && prev_[j].arcs.size() == n) {
        now_.push_back(std::move(prev_[j]));
        prev_codes_[j].clear();
        return now_.back();
      }
    now_.push_back(SatState{std::vector<Arc>(n), std::string(2 * n, ' ')});
    return now_.back();
  }

  // One satellite's data line from its n fields of 16 columns in `fields`.
  void data_line(SatState& s, const std::string& fields, bool blank_clears) {
    const size_t n = s.arcs.size();
    std::string flags(2 * n, ' ');
    const size_t start = out_.size();
    for (size_t t = 0; t < n; ++t) {
      const std::string_view f =
          16 * t < fields.size() ? std::string_view(fields).substr(16 * t, 16) : "";
      int64_t v = 0;
      const bool has = fixed(f.substr(0, std::min<size_t>(14, f.size())), 3, v);
      if (f.size() > 14) flags[2 * t] = f[14];
      if (f.size() > 15) flags[2 * t + 1] = f[15];
      if (has) {
        put_value(s.arcs[t], v, kValueOrder, out_);
      } else {
        s.arcs[t].k = 0;
        if (blank_clears && (flags[2 * t] != ' ' || flags[2 * t + 1] != ' '))
          fail("a blank observation with flags cannot be written in compact RINEX 1.0");
      }
      out_.push_back(' ');
    }
    put_difference(s.flags, flags, out_);
    s.flags = flags;
    while (out_.size() > start && out_.back() == ' ') out_.pop_back();
    out_.push_back('\n');
  }

  void finish_epoch(std::string& recovered) {
    ref_ = std::move(recovered);
    prev_ = std::move(now_);
    now_.clear();
    prev_codes_ = std::move(codes_);
    codes_.clear();
  }

  void epoch2(std::string_view line) {
    long count = 0;
    if (line.size() < 32 || !column_int(line, 29, 3, count)) fail("not an epoch record");
    const char flag = line[28];
    if (flag != '0' && flag != '1') {
      std::string full(line);
      full[0] = '&';
      return event(full, count);
    }
    const size_t nsat = static_cast<size_t>(count);
    std::string rec(
        line.substr(0, std::min<size_t>(line.size(), 32 + 3 * std::min<size_t>(nsat, 12))));
    for (size_t more = 12; more < nsat; more += 12) {
      const std::string_view c = need("an epoch record");
      rec.resize(32 + 3 * more, ' ');
      rec.append(c.substr(std::min<size_t>(32, c.size()), 3 * std::min<size_t>(nsat - more, 12)));
    }
    rec.resize(trimmed(rec).size());
    if (ref_.empty()) {
      std::string full = rec;
      full[0] = '&';
      out_ += full;
    } else {
      put_difference(ref_, rec, out_);
    }
    out_.push_back('\n');
    clock_field(line.size() > 68 ? line.substr(68) : "", 9);
    const size_t n = static_cast<size_t>(n2_);
    std::string fields;
    for (size_t i = 0; i < nsat; ++i) {
      const std::string code =
          std::string(rec.size() > 32 + 3 * i ? std::string_view(rec).substr(32 + 3 * i, 3) : "");
      codes_.push_back(code);
      fields.clear();
      for (size_t l = 0; l < std::max<size_t>(1, (n + 4) / 5); ++l) {
        const std::string_view d = need("the observations of an epoch");
        fields.resize(80 * l, ' ');
        fields.append(d.substr(0, 80));
      }
      data_line(state(code, n), fields, true);
    }
    finish_epoch(rec);
  }

  void epoch3(std::string_view line) {
    long count = 0;
    if (line.size() < 32 || line[0] != '>' || !column_int(line, 32, 3, count))
      fail("not an epoch record");
    const char flag = line[31];
    if (flag != '0' && flag != '1') return event(line, count);
    const size_t nsat = static_cast<size_t>(count);
    std::string rec(line.substr(0, std::min<size_t>(line.size(), 35)));
    rec.resize(41, ' ');
    std::vector<std::string_view> records;
    for (size_t i = 0; i < nsat; ++i) {
      records.push_back(need("the observations of an epoch"));
      rec.append(records.back().substr(0, 3));
      if (records.back().size() < 3) rec.resize(41 + 3 * (i + 1), ' ');
    }
    rec.resize(trimmed(rec).size());
    if (ref_.empty())
      out_ += rec;
    else
      put_difference(ref_, rec, out_);
    out_.push_back('\n');
    clock_field(line.size() > 41 ? line.substr(41) : "", 12);
    for (size_t i = 0; i < nsat; ++i) {
      const std::string code(rec.substr(41 + 3 * i, 3));
      const unsigned char sys = static_cast<unsigned char>(code[0]);
      const int n = sys < 128 ? n3_[sys] : -1;
      if (n < 0) fail("satellite '" + code + "' of a system without SYS / # / OBS TYPES");
      codes_.push_back(code);
      data_line(state(code, static_cast<size_t>(n)),
                std::string(records[i].substr(std::min<size_t>(3, records[i].size()))), false);
    }
    finish_epoch(rec);
  }

  std::string_view text_;
  std::string& out_;
  const std::string& name_;
  size_t pos_ = 0;
  long line_no_ = 0;
  bool v3_ = false;
  int n2_ = 0;
  std::array<int, 128> n3_{};
  std::string ref_;  // the last recovered epoch line; empty: the next is given in full
  Arc clock_;
  std::vector<SatState> prev_, now_;
  std::vector<std::string> prev_codes_, codes_;
};

}  // namespace

void encode_compact(std::string_view text, std::string& out, std::string_view program,
                    std::string_view date, const std::string& name) {
  Encoder(text, out, name).run(program, date);
}

}  // namespace obsq::archive
