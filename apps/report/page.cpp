#include "report/page.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "cli/cli.hpp"

namespace obsq::report {

namespace {

// Geometry of the picture, in SVG user units: label column, plot, right column.
constexpr double kLeft = 70, kPlot = 980, kRight = 70, kWidth = kLeft + kPlot + kRight;
constexpr double kChartTop = 22, kChartHeight = 110;

struct System {
  char letter;
  const char* name;
};
constexpr System kSystems[] = {{'G', "GPS"},  {'R', "GLONASS"}, {'E', "Galileo"}, {'C', "BeiDou"},
                               {'J', "QZSS"}, {'S', "SBAS"},    {'I', "NavIC"},   {'M', "mixed"}};

// CSS class of a system letter: colours for the known ones, grey for the rest.
std::string sys_class(char c) {
  for (const System& s : kSystems)
    if (s.letter == c) return std::string("s") + c;
  return "sX";
}

const char* sys_name(char c) {
  for (const System& s : kSystems)
    if (s.letter == c) return s.name;
  return "other";
}

class Html {
 public:
  Html& raw(std::string_view s) {
    out_.append(s);
    return *this;
  }
  Html& operator<<(std::string_view s) { return raw(s); }
  Html& operator<<(const char* s) { return raw(s); }
  Html& operator<<(const std::string& s) { return raw(s); }
  Html& operator<<(char c) {
    out_ += c;
    return *this;
  }
  Html& operator<<(long long v) { return raw(std::to_string(v)); }
  Html& operator<<(int v) { return raw(std::to_string(v)); }
  Html& operator<<(long v) { return raw(std::to_string(v)); }
  Html& operator<<(size_t v) { return raw(std::to_string(v)); }
  // A coordinate: at most two decimals, no trailing zeros.
  Html& operator<<(double v) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%.2f", v);
    while (n > 0 && buf[n - 1] == '0') --n;
    if (n > 0 && buf[n - 1] == '.') --n;
    return raw(std::string_view(buf, static_cast<size_t>(n)));
  }
  // Text of the file (markers, antennas, types) as page text: markup characters escaped,
  // control bytes shown as U+FFFD, other bytes above 127 taken as Latin-1.
  Html& text(std::string_view s) {
    for (unsigned char c : s) {
      switch (c) {
        case '&': out_ += "&amp;"; break;
        case '<': out_ += "&lt;"; break;
        case '>': out_ += "&gt;"; break;
        case '"': out_ += "&quot;"; break;
        case '\'': out_ += "&#39;"; break;
        default:
          if (c < 0x20 || c == 0x7f) {
            out_ += "\xEF\xBF\xBD";
          } else if (c >= 0x80) {
            out_ += static_cast<char>(0xC0 | (c >> 6));
            out_ += static_cast<char>(0x80 | (c & 0x3F));
          } else {
            out_ += static_cast<char>(c);
          }
      }
    }
    return *this;
  }
  // The same text as a JSON string inside a script element ("<" escaped so that no "</script"
  // can end it).
  Html& json(std::string_view s) {
    out_ += '"';
    for (unsigned char c : s) {
      if (c == '"' || c == '\\') {
        out_ += '\\';
        out_ += static_cast<char>(c);
      } else if (c < 0x20 || c == 0x7f || c == '<' || c == '>' || c == '&' || c >= 0x80) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", (c < 0x20 || c == 0x7f) ? 0xFFFD : c);
        out_ += buf;
      } else {
        out_ += static_cast<char>(c);
      }
    }
    out_ += '"';
    return *this;
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

std::string clock(int32_t second) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", second / 3600, second / 60 % 60, second % 60);
  return buf;
}

std::string duration(int32_t seconds) {
  char buf[32];
  if (seconds < 3600)
    std::snprintf(buf, sizeof buf, "%d min %02d s", seconds / 60, seconds % 60);
  else
    std::snprintf(buf, sizeof buf, "%d h %02d min", seconds / 3600, seconds / 60 % 60);
  return buf;
}

// A share in per cent, cut (not rounded) to one decimal so that 100 means every epoch.
std::string percent(int64_t part, int64_t whole) {
  if (whole <= 0) return "–";
  if (part > 0 && part * 1000 < whole) return "&lt;0.1";
  const int64_t tenths = part * 1000 / whole;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

// Colour class of a completeness share.
const char* grade(int64_t part, int64_t whole) {
  if (whole <= 0 || part == 0) return "q0";
  if (part == whole) return "q4";
  const double f = static_cast<double>(part) / static_cast<double>(whole);
  return f >= 0.95 ? "q3" : f >= 0.75 ? "q2" : "q1";
}

class Writer {
 public:
  Writer(const Day& day, const PageOptions& options) : d_(day), o_(options) {
    lane_ = day.receivers.size() <= 30 ? 18 : day.receivers.size() <= 80 ? 12 : 9;
    lanes_top_ = kChartTop + kChartHeight + 26;
    lanes_bottom_ = lanes_top_ + lane_ * static_cast<double>(day.receivers.size());
  }

  std::string write() {
    h_ << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
       << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
       << "<meta name=\"generator\" content=\"obsquilt-report " << cli::version() << "\">\n"
       << "<title>";
    h_.text(o_.title) << " – network day</title>\n<style>\n"
                      << kStyle << "</style>\n</head>\n<body>\n";
    heading();
    if (d_.window > 0) {
      picture();
    } else {
      h_ << "<p class=\"note\">The merge run kept no epoch: the file has no time range.</p>\n";
    }
    receivers();
    if (d_.window > 0) gap_list();
    h_ << "<footer>Written by obsquilt-report " << cli::version() << " from ";
    h_.text(o_.title) << ".</footer>\n";
    data();
    h_ << "<script>\n" << kScript << "</script>\n</body>\n</html>\n";
    return h_.take();
  }

 private:
  double x_of(int32_t epoch) const {
    return kLeft + kPlot * static_cast<double>(epoch) / static_cast<double>(d_.window);
  }

  void heading() {
    h_ << "<header>\n<h1>Network day";
    if (d_.epoch_lines > 0) {
      char date[32];
      std::snprintf(date, sizeof date, " %04d-%02d-%02d", d_.year, d_.month, d_.day);
      h_ << date;
    }
    h_ << " <span class=\"file\">";
    h_.text(o_.title) << "</span></h1>\n<dl class=\"facts\">\n";
    const Header& hd = d_.header;
    if (d_.window > 0) {
      fact("window", clock(hd.tmin) + " – " + clock(hd.tmax));
      fact("step", std::to_string(hd.step) + " s");
      fact("epochs", std::to_string(d_.window));
    }
    fact("receivers", std::to_string(d_.receivers.size()));
    std::string types;
    for (const std::string& t : d_.types) types += (types.empty() ? "" : " ") + t;
    h_ << "<div><dt>types</dt><dd>";
    h_.text(types.empty() ? "none" : types) << "</dd></div>\n";
    if (d_.window > 0) {
      int32_t empty = 0;
      for (int32_t k = 0; k < d_.window; ++k) {
        int32_t n = 0;
        for (const auto& s : d_.satellites) n += s[static_cast<size_t>(k)];
        empty += n == 0;
      }
      int64_t with = 0;
      for (const ReceiverDay& r : d_.receivers) with += r.epochs[0];
      fact("receiver epochs with data",
           percent(with, static_cast<int64_t>(d_.window) *
                             std::max<int64_t>(1, static_cast<int64_t>(d_.receivers.size()))) +
               " %");
      fact("epochs without any data", std::to_string(empty));
    }
    h_ << "</dl>\n";
    for (const std::string& w : d_.warnings) {
      h_ << "<p class=\"warning\">";
      h_.text(w) << "</p>\n";
    }
    h_ << "</header>\n";
  }

  void fact(const char* name, const std::string& value) {
    h_ << "<div><dt>" << name << "</dt><dd>" << value << "</dd></div>\n";
  }

  void picture() {
    h_ << "<section id=\"availability\">\n<h2>Availability</h2>\n<div class=\"controls\">"
       << "<label>Observation type <select id=\"type\"><option value=\"0\">any type</option>";
    for (size_t t = 0; t < d_.types.size(); ++t) {
      h_ << "<option value=\"" << (t + 1) << "\">";
      h_.text(d_.types[t]) << "</option>";
    }
    h_ << "</select></label><span class=\"legend\">";
    std::string seen;
    for (char c : d_.systems) seen += c;
    for (const Receiver& r : d_.header.receivers)
      if (seen.find(r.system) == std::string::npos) seen += r.system;
    for (char c : seen) {
      h_ << "<span><i class=\"" << sys_class(c) << "\"></i>";
      h_.text(std::string(1, c)) << ' ' << sys_name(c) << "</span>";
    }
    h_ << "<span><i class=\"gapkey\"></i>gap &gt; " << o_.gap_epochs << " epochs</span>"
       << "</span></div>\n";
    const double height = lanes_bottom_ + (d_.receivers.size() > 25 ? 26 : 8);
    h_ << "<svg id=\"lanes\" viewBox=\"0 0 " << kWidth << ' ' << height
       << "\" role=\"img\" aria-label=\"satellites per epoch and availability per receiver\">\n";
    satellite_chart();
    axis(kChartTop + kChartHeight + 16);
    lanes();
    grid(kChartTop, lanes_bottom_);
    if (d_.receivers.size() > 25) axis(lanes_bottom_ + 16);
    h_ << "</svg>\n<noscript><p class=\"note\">The receiver lanes are drawn by the page's "
          "script.</p></noscript>\n</section>\n";
  }

  // Ticks of the time axis: a round interval giving at most 12 of them.
  std::vector<int32_t> ticks() const {
    static constexpr int32_t kSteps[] = {30,   60,   120,   300,   600,   900,   1800,
                                         3600, 7200, 10800, 14400, 21600, 43200, 86400};
    const int32_t span = d_.window * d_.header.step;
    int32_t every = kSteps[std::size(kSteps) - 1];
    for (int32_t s : kSteps)
      if (span / s <= 12) {
        every = s;
        break;
      }
    every = std::max(every, d_.header.step);
    std::vector<int32_t> out;
    const int32_t first = (d_.header.tmin + every - 1) / every * every;
    for (int32_t t = first; t <= d_.header.tmin + span; t += every) out.push_back(t);
    return out;
  }

  double x_of_second(int32_t second) const {
    return kLeft + kPlot * static_cast<double>(second - d_.header.tmin) /
                       static_cast<double>(d_.window * d_.header.step);
  }

  void axis(double y) {
    h_ << "<g class=\"axis\">";
    for (int32_t t : ticks()) {
      std::string label = clock(t);
      if (t % 60 == 0) label.resize(5);
      h_ << "<text x=\"" << x_of_second(t) << "\" y=\"" << y << "\">" << label << "</text>";
    }
    h_ << "</g>\n";
  }

  void grid(double top, double bottom) {
    h_ << "<g class=\"grid\">";
    for (int32_t t : ticks()) {
      const double x = x_of_second(t);
      h_ << "<line x1=\"" << x << "\" y1=\"" << top << "\" x2=\"" << x << "\" y2=\"" << bottom
         << "\"/>";
    }
    h_ << "</g>\n";
  }

  // Satellites with data per epoch over the network, stacked by system. Long windows are
  // cut into buckets of epochs, each drawn as its epoch with the most satellites, so that the
  // path keeps at most 3000 steps and short bursts stay visible.
  void satellite_chart() {
    const int32_t bucket = (d_.window + 2999) / 3000;
    const int32_t buckets = (d_.window + bucket - 1) / bucket;
    std::vector<std::vector<double>> level(d_.systems.size() + 1,
                                           std::vector<double>(static_cast<size_t>(buckets), 0));
    auto total = [&](int32_t k) {
      int32_t n = 0;
      for (const auto& s : d_.satellites) n += s[static_cast<size_t>(k)];
      return n;
    };
    double top = 0;
    for (int32_t b = 0; b < buckets; ++b) {
      int32_t best = b * bucket;
      for (int32_t k = best + 1; k < std::min(d_.window, (b + 1) * bucket); ++k)
        if (total(k) > total(best)) best = k;
      for (size_t s = 0; s < d_.systems.size(); ++s)
        level[s + 1][static_cast<size_t>(b)] =
            level[s][static_cast<size_t>(b)] + d_.satellites[s][static_cast<size_t>(best)];
      top = std::max(top, level.back()[static_cast<size_t>(b)]);
    }
    int32_t unit = 1;
    for (int32_t u : {1, 2, 5, 10, 20, 50, 100, 200, 500})
      if (top / u <= 5) {
        unit = u;
        break;
      }
    const double ymax = std::max<double>(unit, std::ceil(top / unit) * unit);
    auto y = [&](double v) { return kChartTop + kChartHeight * (1 - v / ymax); };
    h_ << "<g class=\"chart\"><text class=\"caption\" x=\"" << kLeft << "\" y=\"" << (kChartTop - 8)
       << "\">satellites with data in the network, per epoch</text>";
    for (double v = 0; v <= ymax + 1e-9; v += unit) {
      h_ << "<line class=\"hline\" x1=\"" << kLeft << "\" x2=\"" << (kLeft + kPlot) << "\" y1=\""
         << y(v) << "\" y2=\"" << y(v) << "\"/><text class=\"ylabel\" x=\"" << (kLeft - 6)
         << "\" y=\"" << (y(v) + 4) << "\">" << static_cast<int>(v) << "</text>";
    }
    const double w = kPlot / buckets;
    for (size_t s = 0; s < d_.systems.size(); ++s) {
      // Steps along the top of the system's band, then back along its bottom.
      h_ << "<path class=\"area " << sys_class(d_.systems[s]) << "\" d=\"M" << kLeft << ' '
         << y(level[s][0]);
      for (int32_t b = 0; b < buckets; ++b)
        h_ << 'V' << y(level[s + 1][static_cast<size_t>(b)]) << 'H' << (kLeft + w * (b + 1));
      for (int32_t b = buckets - 1; b >= 0; --b)
        h_ << 'V' << y(level[s][static_cast<size_t>(b)]) << 'H' << (kLeft + w * b);
      h_ << "Z\"><title>" << sys_name(d_.systems[s]) << " satellites</title></path>";
    }
    h_ << "</g>\n";
  }

  void lanes() {
    const double font = std::min(12.0, lane_ - 1.5);
    h_ << "<g class=\"lanes\" style=\"font-size:" << font << "px\">\n";
    for (size_t r = 0; r < d_.receivers.size(); ++r) {
      const Receiver& rc = d_.header.receivers[r];
      const double y = lanes_top_ + lane_ * static_cast<double>(r);
      const double h = lane_ - (lane_ > 10 ? 3 : 1.5);
      h_ << "<g class=\"lane\"><rect class=\"bg\" x=\"" << kLeft << "\" y=\"" << y << "\" width=\""
         << kPlot << "\" height=\"" << h << "\"/>"
         << "<text class=\"marker\" x=\"" << (kLeft - 6) << "\" y=\"" << (y + h / 2) << "\">";
      h_.text(rc.marker) << "</text><g class=\"bars " << sys_class(rc.system)
                         << "\" data-receiver=\"" << (r + 1) << "\" data-y=\"" << y
                         << "\" data-h=\"" << h << "\"></g>";
      for (const Run& g : gaps(d_, r, o_.gap_epochs)) {
        h_ << "<rect class=\"gapmark\" x=\"" << x_of(g.first) << "\" y=\"" << (y + h - 2)
           << "\" width=\"" << std::max(0.5, x_of(g.last + 1) - x_of(g.first))
           << "\" height=\"2\"/>";
      }
      h_ << "<text class=\"pct\" x=\"" << (kLeft + kPlot + 6) << "\" y=\"" << (y + h / 2)
         << "\"></text></g>\n";
    }
    h_ << "</g>\n";
  }

  void receivers() {
    h_ << "<section id=\"receivers\">\n<h2>Receivers</h2>\n<div class=\"scroll\"><table>\n"
       << "<thead><tr><th>#</th><th>marker</th><th>antenna</th><th title=\"system letter\">sys</th>"
       << "<th>first epoch</th><th>last epoch</th><th title=\"epochs with data of any type\">"
       << "epochs</th><th title=\"satellites with data per epoch with data: mean and most\">sats "
          "mean / max</th>";
    for (size_t t = 0; t < d_.types.size(); ++t) {
      h_ << "<th class=\"type\" data-t=\"" << (t + 1) << "\" title=\"epochs with ";
      h_.text(d_.types[t]) << " data, per cent of the window\">";
      h_.text(d_.types[t]) << " %</th>";
    }
    h_ << "<th title=\"gaps longer than " << o_.gap_epochs
       << " epochs\">gaps</th></tr></thead>\n<tbody>\n";
    for (size_t r = 0; r < d_.receivers.size(); ++r) {
      const Receiver& rc = d_.header.receivers[r];
      const ReceiverDay& rd = d_.receivers[r];
      h_ << "<tr><td class=\"n\">" << (r + 1) << "</td><td class=\"mono\">";
      h_.text(rc.marker) << "</td><td class=\"mono\">";
      h_.text(rc.antenna) << "</td><td class=\"c\"><i class=\"" << sys_class(rc.system)
                          << "\"></i>";
      h_.text(std::string(1, rc.system)) << "</td>";
      if (rd.runs[0].empty()) {
        h_ << "<td>–</td><td>–</td>";
      } else {
        h_ << "<td>" << clock(d_.second_of(rd.runs[0].front().first)) << "</td><td>"
           << clock(d_.second_of(rd.runs[0].back().last)) << "</td>";
      }
      h_ << "<td class=\"n\">" << rd.epochs[0] << "</td><td class=\"n\">";
      if (rd.epochs[0] > 0) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.1f / %d",
                      static_cast<double>(rd.satellite_sum) / rd.epochs[0], rd.satellite_max);
        h_ << buf;
      } else {
        h_ << "–";
      }
      h_ << "</td>";
      for (size_t t = 0; t < d_.types.size(); ++t) {
        const int32_t n = rd.epochs[t + 1];
        h_ << "<td class=\"n " << grade(n, d_.window) << "\" data-t=\"" << (t + 1) << "\" title=\""
           << n << " of " << d_.window << " epochs\">" << percent(n, d_.window) << "</td>";
      }
      h_ << "<td class=\"n\">" << (d_.window > 0 ? gaps(d_, r, o_.gap_epochs).size() : 0)
         << "</td></tr>\n";
    }
    h_ << "</tbody></table></div>\n</section>\n";
  }

  void gap_list() {
    h_ << "<section id=\"gaps\">\n<h2>Gaps longer than " << o_.gap_epochs << " epochs ("
       << duration(o_.gap_epochs * d_.header.step) << ")</h2>\n";
    size_t count = 0;
    Html rows;
    for (size_t r = 0; r < d_.receivers.size(); ++r) {
      for (const Run& g : gaps(d_, r, o_.gap_epochs)) {
        ++count;
        rows << "<tr><td class=\"mono\">";
        rows.text(d_.header.receivers[r].marker)
            << "</td><td>" << clock(d_.second_of(g.first)) << "</td><td>"
            << clock(d_.second_of(g.last)) << "</td><td class=\"n\">" << g.length()
            << "</td><td class=\"n\">" << duration(g.length() * d_.header.step) << "</td></tr>\n";
      }
    }
    if (count == 0) {
      h_ << "<p class=\"note\">No receiver misses more than " << o_.gap_epochs
         << " epochs in a row.</p>\n";
    } else {
      h_ << "<div class=\"scroll\"><table>\n<thead><tr><th>marker</th><th>first missing</th>"
         << "<th>last missing</th><th>epochs</th><th>duration</th></tr></thead>\n<tbody>\n"
         << rows.take() << "</tbody></table></div>\n";
    }
    h_ << "</section>\n";
  }

  // What the script draws: the runs of every receiver per type, as flat lists of epoch
  // indices (first, last, first, last, ...).
  void data() {
    h_ << "<script type=\"application/json\" id=\"quilt-data\">{\"tmin\":" << d_.header.tmin
       << ",\"step\":" << d_.header.step << ",\"window\":" << d_.window << ",\"x0\":" << kLeft
       << ",\"width\":" << kPlot << ",\"types\":[";
    for (size_t t = 0; t < d_.types.size(); ++t) {
      if (t) h_ << ',';
      h_.json(d_.types[t]);
    }
    h_ << "],\"markers\":[";
    for (size_t r = 0; r < d_.receivers.size(); ++r) {
      if (r) h_ << ',';
      h_.json(d_.header.receivers[r].marker);
    }
    h_ << "],\n\"runs\":[";
    for (size_t t = 0; t <= d_.types.size(); ++t) {
      h_ << (t ? ",\n[" : "[");
      for (size_t r = 0; r < d_.receivers.size(); ++r) {
        h_ << (r ? ",[" : "[");
        bool first = true;
        for (const Run& run : d_.receivers[r].runs[t]) {
          if (!first) h_ << ',';
          first = false;
          h_ << run.first << ',' << run.last;
        }
        h_ << ']';
      }
      h_ << ']';
    }
    h_ << "]}</script>\n";
  }

  using Header = quilt::Header;
  using Receiver = quilt::Receiver;
  const Day& d_;
  const PageOptions& o_;
  Html h_;
  double lane_, lanes_top_, lanes_bottom_;
};

}  // namespace

std::string page(const Day& day, const PageOptions& options) {
  return Writer(day, options).write();
}

}  // namespace obsq::report
