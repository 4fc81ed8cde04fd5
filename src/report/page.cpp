#include "report/page.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <string_view>

#include "cli/cli.hpp"

namespace obsq::report {

namespace {

// A number as printf's "%.Nf" writes it (with '+' before one not negative, as "%+.Nf", when
// asked): std::to_chars gives the same characters, without a format string to interpret.
class Fixed {
 public:
  Fixed(double v, int decimals, bool plus = false) {
    char* p = text_;
    if (plus && !std::signbit(v)) *p++ = '+';
    size_ = static_cast<size_t>(
        std::to_chars(p, std::end(text_), v, std::chars_format::fixed, decimals).ptr - text_);
  }
  std::string_view view() const { return {text_, size_}; }

 private:
  char text_[352];  // room for any double with a few decimals
  size_t size_ = 0;
};

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
    const Fixed f(v, 2);
    std::string_view t = f.view();
    while (!t.empty() && t.back() == '0') t.remove_suffix(1);
    if (!t.empty() && t.back() == '.') t.remove_suffix(1);
    return raw(t);
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
    if (d_.window > 0) {
      detail();
      clock_jumps();
      gap_list();
    }
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
      fact(d_.requested ? "window (requested)" : "window (span of the data)",
           clock(d_.origin) + " – " + clock(d_.second_of(d_.window - 1)));
      if (d_.requested)
        fact("data", hd.has_range ? clock(hd.tmin) + " – " + clock(hd.tmax) : std::string("none"));
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
    if (d_.window > 0 && !d_.requested)
      h_ << "<p class=\"note\" id=\"span-note\">Shares are of the span of the data (its first to "
            "its last epoch), not of the run's window: give <code>--window START STOP</code> "
            "(the run's seconds of day) to measure against the window.</p>\n";
    for (const std::vector<size_t>& same : d_.shared_markers) {
      h_ << "<p class=\"warning shared\">Receivers";
      for (size_t i = 0; i < same.size(); ++i)
        h_ << (i == 0 ? " " : i + 1 == same.size() ? " and " : ", ") << (same[i] + 1);
      h_ << " share the marker '";
      h_.text(d_.header.receivers[same[0]].marker)
          << "': their rows cannot be told apart in obsquilt.txt.</p>\n";
    }
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
      h_ << "<g class=\"gaps\"></g>";
      h_ << "<text class=\"pct\" x=\"" << (kLeft + kPlot + 6) << "\" y=\"" << (y + h / 2)
         << "\"></text></g>\n";
    }
    h_ << "</g>\n";
  }

  static std::string millimetres(double metres) {
    if (std::isnan(metres)) return "–";
    return std::string(Fixed(metres * 100, 1).view());
  }

  void receivers() {
    h_ << "<section id=\"receivers\">\n<h2>Receivers</h2>\n<div class=\"scroll\"><table>\n"
       << "<thead><tr><th>#</th><th>marker</th><th>antenna</th>"
       << "<th title=\"satellite systems of the satellites it has values of\">systems</th>"
       << "<th title=\"time system letter of its file's first header record\">time system</th>"
       << "<th>first epoch</th><th>last epoch</th><th title=\"epochs with data of any type\">"
       << "epochs</th><th title=\"epochs with data, per cent of the window\">window %</th>"
       << "<th title=\"satellites with data per epoch with data: mean and most\">sats "
          "mean / max</th>";
    for (size_t t = 0; t < d_.types.size(); ++t) {
      h_ << "<th class=\"type\" data-t=\"" << (t + 1) << "\" title=\"values of ";
      h_.text(d_.types[t]) << ", per cent of the satellite-epochs the receiver tracked\">";
      h_.text(d_.types[t]) << " %</th>";
    }
    h_ << "<th class=\"type\" title=\"multipath of code 1, RMS in cm (GPS and Galileo)\">MP1 "
          "cm</th>"
       << "<th class=\"type\" title=\"multipath of code 2, RMS in cm (GPS and Galileo)\">MP2 "
          "cm</th>"
       << "<th class=\"type\" title=\"cycle slips per 1000 observations (GPS and Galileo)\">"
          "slips ‰</th><th class=\"type\" title=\"clock jumps in the epoch stamps\">clock "
          "jumps</th>"
       << "<th title=\"gaps longer than " << o_.gap_epochs
       << " epochs\">gaps</th></tr></thead>\n<tbody>\n";
    const auto& quality = d_.analysis.receivers();
    for (size_t r = 0; r < d_.receivers.size(); ++r) {
      const Receiver& rc = d_.header.receivers[r];
      const ReceiverDay& rd = d_.receivers[r];
      const quality::ReceiverQuality& q = quality[r];
      bool shared = false;
      for (const auto& same : d_.shared_markers)
        shared = shared || std::find(same.begin(), same.end(), r) != same.end();
      h_ << "<tr data-receiver=\"" << (r + 1) << "\"><td class=\"n\">" << (r + 1)
         << "</td><td class=\"mono\">";
      h_.text(rc.marker);
      if (shared)
        h_ << "<span class=\"flag\" title=\"another receiver has this marker\">shared</span>";
      h_ << "</td><td class=\"mono\">";
      h_.text(rc.antenna) << "</td><td class=\"systems\">";
      if (rd.systems.empty()) h_ << "–";
      for (char c : rd.systems) {
        h_ << "<span class=\"sys\" title=\"" << sys_name(c) << "\"><i class=\"" << sys_class(c)
           << "\"></i>";
        h_.text(std::string(1, c)) << "</span>";
      }
      h_ << "</td><td class=\"c\">";
      h_.text(std::string(1, rc.system)) << "</td>";
      if (rd.runs[0].empty()) {
        h_ << "<td>–</td><td>–</td>";
      } else {
        h_ << "<td>" << clock(d_.second_of(rd.runs[0].front().first)) << "</td><td>"
           << clock(d_.second_of(rd.runs[0].back().last)) << "</td>";
      }
      h_ << "<td class=\"n\">" << rd.epochs[0] << "</td><td class=\"n "
         << grade(rd.epochs[0], d_.window) << "\">" << percent(rd.epochs[0], d_.window)
         << "</td><td class=\"n\">";
      if (rd.epochs[0] > 0) {
        h_ << Fixed(static_cast<double>(rd.satellite_sum) / rd.epochs[0], 1).view() << " / "
           << rd.satellite_max;
      } else {
        h_ << "–";
      }
      h_ << "</td>";
      for (size_t t = 0; t < d_.types.size(); ++t) {
        const int64_t n = rd.values[t];
        if (n == 0) {
          h_ << "<td class=\"n none\" data-t=\"" << (t + 1) << "\" title=\"never has ";
          h_.text(d_.types[t]) << "\">–</td>";
          continue;
        }
        h_ << "<td class=\"n " << grade(n, rd.satellite_sum) << "\" data-t=\"" << (t + 1)
           << "\" title=\"" << static_cast<long long>(n) << " of "
           << static_cast<long long>(rd.satellite_sum) << " satellite-epochs\">"
           << percent(n, rd.satellite_sum) << "</td>";
      }
      h_ << "<td class=\"n mp1\">" << millimetres(q.mp.rms1()) << "</td><td class=\"n mp2\">"
         << millimetres(q.mp.rms2()) << "</td><td class=\"n slips\" title=\"" << q.slips.size()
         << " slips in " << static_cast<long long>(q.observations) << " observations\">";
      if (q.observations > 0) {
        h_ << Fixed(1000.0 * static_cast<double>(q.slips.size()) /
                        static_cast<double>(q.observations),
                    2)
                  .view();
      } else {
        h_ << "–";
      }
      h_ << "</td><td class=\"n\">" << (q.clock_stamped ? std::to_string(q.jumps.size()) : "–")
         << "</td><td class=\"n\">" << (d_.window > 0 ? gaps(d_, r, o_.gap_epochs).size() : 0)
         << "</td></tr>\n";
    }
    h_ << "</tbody></table></div>\n<p class=\"note\">Type shares: values of the type against the "
          "satellite-epochs the receiver tracked (satellites with a value of any type, summed "
          "over its epochs); – where it never has the type. MP1, MP2 and slips: GPS and Galileo "
          "only (see below).</p>\n</section>\n";
  }

  // One receiver at a time, chosen on the page: its satellites over the window, its clock, its
  // multipath and cycle slips (drawn by the script from the page's data).
  void detail() {
    h_ << "<section id=\"receiver-detail\">\n<h2>One receiver</h2>\n<div class=\"controls\">"
       << "<label>Receiver <select id=\"receiver\">";
    for (size_t r = 0; r < d_.receivers.size(); ++r) {
      h_ << "<option value=\"" << (r + 1) << "\">" << (r + 1) << ' ';
      h_.text(d_.header.receivers[r].marker) << "</option>";
    }
    h_ << "</select></label><span class=\"note\">or click a row of the table</span></div>\n"
       << "<h3 id=\"tracking-title\">Tracking</h3>\n<p class=\"note\">One lane per satellite: "
          "the epochs where the receiver has a value of any type of it.</p>\n"
       << "<svg id=\"tracking\" role=\"img\" aria-label=\"satellites tracked over the "
          "window\"></svg>\n"
       << "<h3>Receiver clock</h3>\n<p class=\"note\">Seconds of the epoch stamps the receiver "
          "wrote less the nominal epoch, in milliseconds (least and most per bin of "
       << duration(std::max(1, d_.window / d_.analysis.bins()) * d_.header.step)
       << "); clock jumps of " << quality::kClockJump * 1e3 << " ms or more marked.</p>\n"
       << "<svg id=\"clock\" role=\"img\" aria-label=\"receiver clock offset\"></svg>\n"
       << "<h3>Multipath and cycle slips</h3>\n<p class=\"note\" id=\"mp-note\">MP1 and MP2 "
          "(Estey and Meertens 1999), RMS per bin after removing each arc's mean, and the cycle "
          "slips (a change of the geometry-free phase combination of more than "
       << millimetres(quality::slip_threshold(d_.header.step))
       << " cm between consecutive "
          "epochs). GPS and Galileo only: GLONASS is left out, as the frequency channel of each "
          "satellite is not in obsquilt.txt.</p>\n"
       << "<svg id=\"multipath\" role=\"img\" aria-label=\"multipath and cycle slips\"></svg>\n"
       << "<div class=\"scroll\"><table id=\"mp-satellites\"><thead><tr><th>satellite</th>"
          "<th class=\"type\">MP1 cm</th><th class=\"type\">MP2 cm</th><th class=\"type\">"
          "observations</th><th class=\"type\">slips</th></tr></thead><tbody></tbody></table>"
          "</div>\n</section>\n";
  }

  void clock_jumps() {
    h_ << "<section id=\"clock-jumps\">\n<h2>Clock jumps</h2>\n";
    Html rows;
    size_t count = 0;
    constexpr size_t kListed = 500;
    const auto& quality = d_.analysis.receivers();
    for (size_t r = 0; r < quality.size(); ++r)
      for (const quality::ClockJump& j : quality[r].jumps) {
        if (++count > kListed) continue;
        const Fixed ms(j.change * 1e3, 4, true);
        rows << "<tr data-receiver=\"" << (r + 1) << "\"><td class=\"mono\">";
        rows.text(d_.header.receivers[r].marker)
            << "</td><td>" << clock(d_.second_of(j.epoch)) << "</td><td class=\"n\">" << ms.view()
            << "</td><td>" << (j.millisecond ? "millisecond reset" : "step") << "</td></tr>\n";
      }
    if (count == 0) {
      h_ << "<p class=\"note\">No receiver's epoch stamps jump by " << quality::kClockJump * 1e3
         << " ms or more.</p>\n";
    } else {
      if (count > kListed)
        h_ << "<p class=\"note\">The first " << kListed << " of " << count << " jumps.</p>\n";
      h_ << "<div class=\"scroll\"><table>\n<thead><tr><th>marker</th><th>epoch</th>"
         << "<th>change ms</th><th>kind</th></tr></thead>\n<tbody>\n"
         << rows.take() << "</tbody></table></div>\n";
    }
    h_ << "</section>\n";
  }

  // A length in metres for the page's data: four decimals, null when there is none.
  void metres(double v) {
    if (std::isnan(v)) {
      h_ << "null";
      return;
    }
    h_ << Fixed(v, 4).view();
  }

  // Per receiver: its satellites' runs, its clock offsets per bin, its multipath and slips.
  void detail_data() {
    const auto& quality = d_.analysis.receivers();
    h_ << ",\n\"gap\":" << o_.gap_epochs << ",\"bins\":" << d_.analysis.bins()
       << ",\"slipThreshold\":";
    metres(quality::slip_threshold(d_.header.step));
    h_ << ",\"sats\":[";
    for (size_t s = 0; s < d_.analysis.satellites().size(); ++s) {
      if (s) h_ << ',';
      h_.json(d_.analysis.satellites()[s]);
    }
    h_ << "],\n\"tracked\":[";
    for (size_t r = 0; r < d_.receivers.size(); ++r) {
      h_ << (r ? ",\n[" : "[");
      bool first_sat = true;
      for (size_t s = 0; s < d_.receivers[r].tracked.size(); ++s) {
        const auto& runs = d_.receivers[r].tracked[s];
        if (runs.empty()) continue;
        h_ << (first_sat ? "[" : ",[") << s;
        first_sat = false;
        for (const Run& run : runs) h_ << ',' << run.first << ',' << run.last;
        h_ << ']';
      }
      h_ << ']';
    }
    h_ << "],\n\"clock\":[";
    for (size_t r = 0; r < quality.size(); ++r) {
      const quality::ReceiverQuality& q = quality[r];
      h_ << (r ? ",\n" : "");
      if (!q.clock_stamped || q.clock_nominal) {
        h_ << (q.clock_stamped ? 1 : 0);
        continue;
      }
      auto micro = [&](double v) {
        if (std::isnan(v)) {
          h_ << "null";
        } else {
          h_ << Fixed(v * 1e6, 1).view();
        }
      };
      h_ << "{\"o\":[";
      for (size_t b = 0; b < q.clock_min.size(); ++b) {
        if (b) h_ << ',';
        micro(q.clock_min[b]);
        h_ << ',';
        micro(q.clock_max[b]);
      }
      h_ << "],\"j\":[";
      for (size_t j = 0; j < q.jumps.size(); ++j) {
        if (j) h_ << ',';
        h_ << q.jumps[j].epoch;
      }
      h_ << "]}";
    }
    h_ << "],\n\"mp\":[";
    for (size_t r = 0; r < quality.size(); ++r) {
      const quality::ReceiverQuality& q = quality[r];
      h_ << (r ? ",\n{\"rms\":[" : "{\"rms\":[");
      metres(q.mp.rms1());
      h_ << ',';
      metres(q.mp.rms2());
      h_ << "],\"n\":" << static_cast<long long>(q.mp.n)
         << ",\"obs\":" << static_cast<long long>(q.observations) << ",\"bins\":[";
      for (size_t b = 0; b < q.bins.size() && q.mp.n > 0; ++b) {
        if (b) h_ << ',';
        if (q.bins[b].n == 0) {
          h_ << "null,null";
        } else {
          h_ << Fixed(q.bins[b].rms1() * 1e3, 0).view() << ','
             << Fixed(q.bins[b].rms2() * 1e3, 0).view();
        }
      }
      h_ << "],\"sats\":[";
      bool first = true;
      for (size_t s = 0; s < q.satellites.size(); ++s) {
        const quality::SatelliteQuality& sq = q.satellites[s];
        if (sq.observations == 0) continue;
        h_ << (first ? "[" : ",[") << s << ',';
        first = false;
        metres(sq.mp.rms1());
        h_ << ',';
        metres(sq.mp.rms2());
        h_ << ',' << static_cast<long long>(sq.mp.n) << ','
           << static_cast<long long>(sq.observations) << ',' << sq.slips << ']';
      }
      h_ << "],\"slips\":[";
      for (size_t i = 0; i < q.slips.size(); ++i) {
        h_ << (i ? ",[" : "[") << q.slips[i].epoch << ',' << q.slips[i].satellite << ',';
        metres(q.slips[i].jump);
        h_ << ']';
      }
      h_ << "]}";
    }
    h_ << ']';
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
    h_ << "<script type=\"application/json\" id=\"quilt-data\">{\"tmin\":" << d_.origin
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
    h_ << ']';
    if (d_.window > 0) detail_data();
    h_ << "}</script>\n";
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
