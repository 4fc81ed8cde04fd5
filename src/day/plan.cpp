#include "day/plan.hpp"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace obsq::day {

namespace {

// The seconds a run of the window from..to by step accepts: first + k * step, k < count.
struct Grid {
  int32_t first = 0, step = 1;
  size_t count = 0;
  Grid(const Limits& l) : step(l.step) {
    first = (l.from + l.step - 1) / l.step * l.step;
    if (first <= l.to) count = static_cast<size_t>((l.to - first) / l.step + 1);
  }
  int32_t second(size_t k) const { return first + static_cast<int32_t>(k) * step; }
};

// The values per second of the grid of files [begin, end).
std::vector<int64_t> group_load(const std::vector<FileLoad>& loads, size_t begin, size_t end,
                                const Grid& g) {
  std::vector<int64_t> per(g.count, 0);
  for (size_t f = begin; f < end; ++f) {
    const FileLoad& l = loads[f];
    for (size_t k = 0; k < l.seconds.size(); ++k) {
      const int32_t s = l.seconds[k];
      if (s < g.first || s % g.step != 0) continue;
      const size_t i = static_cast<size_t>((s - g.first) / g.step);
      if (i < g.count) per[i] += l.values[k];
    }
  }
  return per;
}

// Cuts the grid into the fewest windows of at most `most` values each, of nearly equal load:
// the indexes where windows start.
std::vector<size_t> windows(const std::vector<int64_t>& per, int64_t most) {
  int64_t total = 0;
  for (int64_t v : per) total += v;
  for (size_t n = static_cast<size_t>(std::max<int64_t>(1, (total + most - 1) / most));; ++n) {
    std::vector<size_t> starts = {0};
    int64_t sum = 0, in_window = 0;
    bool fits = true;
    for (size_t i = 0; i < per.size(); ++i) {
      // A new window where the load passes the next n-th of the total, or the limit.
      const int64_t target = total * static_cast<int64_t>(starts.size()) / static_cast<int64_t>(n);
      if (i > 0 && (in_window + per[i] > most || (sum >= target && starts.size() < n))) {
        starts.push_back(i);
        in_window = 0;
      }
      sum += per[i];
      in_window += per[i];
      if (in_window > most) fits = false;
    }
    if (fits || n >= per.size()) return starts;
  }
}

std::string thousands(int64_t v) {
  const std::string digits = std::to_string(v);
  std::string s;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0 && digits[i - 1] != '-') s += ',';
    s += digits[i];
  }
  return s;
}

}  // namespace

std::string Run::folder() const {
  char buf[32];
  std::snprintf(buf, sizeof buf, "runs/%03d", number);
  return buf;
}

int Run::memory_mb() const {
  // 10 bytes a value in the store and its members, a hash of the (file, second) groups, the
  // writer's epoch matrices and the program itself: measured 687 MB for 55,300,000 values (600
  // files, 30 s, a third of a day); asked with room to spare, 14 bytes a value and 128 MB.
  return static_cast<int>(128 + values * 14 / (1 << 20));
}

int Run::cores() const {
  // The merge reads files ahead and formats epochs on worker threads; a small run hardly uses
  // them.
  return values < 2'000'000 ? 1 : 2;
}

Plan make_plan(const std::vector<std::string>& files, const std::vector<FileLoad>& loads,
               const Limits& limits) {
  Plan plan;
  plan.limits = limits;
  plan.files = static_cast<int>(files.size());
  const Grid grid(limits);
  const size_t n = files.size();
  size_t groups = std::max<size_t>(
      1, (n + static_cast<size_t>(limits.max_files) - 1) / static_cast<size_t>(limits.max_files));
  for (;; ++groups) {
    plan.runs.clear();
    bool fits = true;
    for (size_t g = 0; g < groups && fits; ++g) {
      const size_t begin = g * n / groups, end = (g + 1) * n / groups;
      const std::vector<int64_t> per = group_load(loads, begin, end, grid);
      if (std::any_of(per.begin(), per.end(), [&](int64_t v) { return v > limits.max_values; })) {
        fits = false;
        if (end - begin > 1) break;
        // One file whose epoch alone passes the limit: no plan can take it.
        size_t k = 0;
        while (per[k] <= limits.max_values) ++k;
        throw PlanError{files[begin] + ": the epoch of second " + std::to_string(grid.second(k)) +
                        " alone holds " + thousands(per[k]) + " values, more than " +
                        thousands(limits.max_values)};
      }
      const std::vector<size_t> starts =
          per.empty() ? std::vector<size_t>{0} : windows(per, limits.max_values);
      for (size_t w = 0; w < starts.size(); ++w) {
        Run r;
        r.number = static_cast<int>(plan.runs.size()) + 1;
        r.group = static_cast<int>(g) + 1;
        r.from = w == 0 ? limits.from : grid.second(starts[w]);
        r.to = w + 1 == starts.size() ? limits.to : grid.second(starts[w + 1]) - limits.step;
        const size_t stop = w + 1 == starts.size() ? per.size() : starts[w + 1];
        for (size_t i = starts[w]; i < stop; ++i) r.values += per[i];
        r.files.assign(files.begin() + static_cast<long>(begin),
                       files.begin() + static_cast<long>(end));
        plan.runs.push_back(std::move(r));
      }
    }
    if (fits) break;
  }
  plan.groups = static_cast<int>(groups);
  for (const Run& r : plan.runs) plan.values += r.values;
  return plan;
}

std::string plan_json(const Plan& plan) {
  nlohmann::ordered_json j;
  j["day"] = plan.day;
  j["from"] = plan.limits.from;
  j["to"] = plan.limits.to;
  j["step"] = plan.limits.step;
  j["max_files"] = plan.limits.max_files;
  j["max_values"] = plan.limits.max_values;
  j["files"] = plan.files;
  j["groups"] = plan.groups;
  j["values"] = plan.values;
  j["runs"] = nlohmann::ordered_json::array();
  for (const Run& r : plan.runs) {
    nlohmann::ordered_json x;
    x["run"] = r.number;
    x["folder"] = r.folder();
    x["group"] = r.group;
    x["from"] = r.from;
    x["to"] = r.to;
    x["values"] = r.values;
    x["memory_mb"] = r.memory_mb();
    x["cores"] = r.cores();
    x["files"] = r.files;
    j["runs"].push_back(std::move(x));
  }
  return j.dump(1) + "\n";
}

Plan read_plan(const std::string& text) {
  try {
    const nlohmann::json j = nlohmann::json::parse(text);
    Plan p;
    p.day = j.at("day").get<std::string>();
    p.limits.from = j.at("from").get<int32_t>();
    p.limits.to = j.at("to").get<int32_t>();
    p.limits.step = j.at("step").get<int32_t>();
    p.limits.max_files = j.at("max_files").get<int>();
    p.limits.max_values = j.at("max_values").get<int64_t>();
    p.files = j.at("files").get<int>();
    p.groups = j.at("groups").get<int>();
    p.values = j.at("values").get<int64_t>();
    for (const auto& x : j.at("runs")) {
      Run r;
      r.number = x.at("run").get<int>();
      r.group = x.at("group").get<int>();
      r.from = x.at("from").get<int32_t>();
      r.to = x.at("to").get<int32_t>();
      r.values = x.at("values").get<int64_t>();
      r.files = x.at("files").get<std::vector<std::string>>();
      if (r.number != static_cast<int>(p.runs.size()) + 1)
        throw PlanError{"run " + std::to_string(r.number) + " out of order"};
      p.runs.push_back(std::move(r));
    }
    if (p.limits.step <= 0) throw PlanError{"a step of " + std::to_string(p.limits.step)};
    return p;
  } catch (const nlohmann::json::exception& e) {
    throw PlanError{e.what()};
  }
}

std::string summary(const Plan& plan) {
  const Grid grid(plan.limits);
  std::string s = "plan: " + std::to_string(plan.files) + " files, " + std::to_string(grid.count) +
                  " epochs of " + std::to_string(plan.limits.step) + " s, " +
                  thousands(plan.values) + " values: " + std::to_string(plan.groups) +
                  " station group" + (plan.groups == 1 ? "" : "s") + ", " +
                  std::to_string(plan.runs.size()) + " run" + (plan.runs.size() == 1 ? "" : "s") +
                  " of at most " + std::to_string(plan.limits.max_files) + " files and " +
                  thousands(plan.limits.max_values) + " values\n";
  for (const Run& r : plan.runs) {
    char line[160];
    std::snprintf(line, sizeof line, "  %s  group %d  %zu files  seconds %d-%d  %s values\n",
                  r.folder().c_str(), r.group, r.files.size(), r.from, r.to,
                  thousands(r.values).c_str());
    s += line;
  }
  return s;
}

}  // namespace obsq::day
