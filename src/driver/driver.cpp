#include "driver/driver.hpp"

#include <unistd.h>

#include <new>
#include <string>

#include "output/writer.hpp"
#include "records/fields.hpp"
#include "records/runstate.hpp"
#include "records/stopcodes.hpp"
#include "records/units.hpp"
#include "rinex/loadlist.hpp"
#include "rinex/obsread.hpp"
#include "tables/tables.hpp"

namespace obsq {

namespace {

constexpr int kArgLength = 20;

// Argument n as the 20-character text the program reads it from.
std::string arg_text(const std::vector<std::string_view>& args, size_t n) {
  std::string text(kArgLength, ' ');
  if (n <= args.size()) {
    const std::string_view a = args[n - 1];
    text.replace(0, std::min<size_t>(a.size(), kArgLength), a.substr(0, kArgLength));
  }
  return text;
}

int32_t read_arg(const std::vector<std::string_view>& args, size_t n, int missing, int illegal) {
  const std::string text = arg_text(args, n);
  if (text.find_first_not_of(' ') == std::string::npos) {
    console(ListLine() << "FATAL -- missing command line parm " + std::to_string(n));
    stop(missing);
  }
  int32_t value = 0;
  bool given = false;
  try {
    given = get_list_int(text, value);
  } catch (RecordError& e) {
    e.place = "READ of command line parm " + std::to_string(n);
    throw;
  }
  // An argument that gives no value in free form is an illegal value of that argument.
  if (!given) {
    console(ListLine() << "FATAL -- illegal command line parm " + std::to_string(n));
    stop(illegal);
  }
  return value;
}

void illegal(int n, int code) {
  console(ListLine() << "FATAL -- illegal command line parm " + std::to_string(n));
  stop(code);
}

}  // namespace

void readargs(const std::vector<std::string_view>& args, int32_t& start, int32_t& stop_,
              int32_t& step) {
  start = read_arg(args, 1, stops::kMissingStart, stops::kIllegalStart);
  if (start < 0 || start > 86400) illegal(1, stops::kIllegalStart);
  stop_ = read_arg(args, 2, stops::kMissingStop, stops::kIllegalStop);
  if (stop_ < 0 || stop_ > 86400) illegal(2, stops::kIllegalStop);
  if (stop_ < start) {
    console(ListLine() << "FATAL -- stop time less than start time");
    stop(stops::kStopBeforeStart);
  }
  step = read_arg(args, 3, stops::kMissingStep, stops::kIllegalStep);
  if (!(step > 0 && step < 86401)) illegal(3, stops::kIllegalStep);
  char line[64];
  char* e = put_a(line, "start, stop, step:");
  for (int32_t v : {start, stop_, step}) e = put_i(e, v, 6);
  write_line(kConsoleUnit, std::string_view(line, static_cast<size_t>(e - line)));
}

void run(const std::vector<std::string_view>& args) {
  OutUnit& output = out_unit(kOutputUnit);
  output.open("obsquilt.txt");
  write_line(kConsoleUnit, "program obsquilt -- 2012jul18");
  int32_t start = 0;
  int32_t stop_ = 0;
  int32_t step = 0;
  readargs(args, start, stop_, step);

  in_unit(kListUnit).open("list.txt");
  loadlist(kListUnit, kRinexUnit);
  in_unit(kListUnit).close();
  int32_t nfiles = 0;
  getnfiles(nfiles);
  console(ListLine() << "opened files: " << nfiles);

  int32_t tmin = 0;
  int32_t tmax = 0;
  storeobs(kRinexUnit, start, stop_, step, tmin, tmax);

  int32_t nlng = 0;
  numlng(nlng);
  {
    char line[64];
    char* e = put_a(line, "program memory use: ");
    e = put_f(e, static_cast<double>(nlng) * 100.0 / 80000000.0, 8, 5);
    e = put_a(e, " precent");
    write_line(kConsoleUnit, std::string_view(line, static_cast<size_t>(e - line)));
  }
  console(ListLine() << "now writing output file ...");

  dump1(kOutputUnit, tmin, tmax, step);
  dump2(kOutputUnit, tmin, tmax, step);
  output.close();

  OutUnit& con = out_unit(kConsoleUnit);
  con.end_line();
  con.write("Press ENTER key to stop program: ", true);
  InUnit& keyboard = in_unit(kKeyboardUnit);
  keyboard.attach(STDIN_FILENO, "");
  std::string_view answer;
  if (!keyboard.next(answer, 1))
    record_error(std::string(msg::end_of_file), "READ on unit 5 (keyboard)");
}

int main_entry(int argc, char** argv) {
  out_unit(kConsoleUnit).attach(STDOUT_FILENO, "", true);
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

  auto report = [](const RecordError& e) {
    std::string text = "obsquilt: error in " +
                       (e.place.empty() ? std::string("a formatted read") : e.place) +
                       "\nobsquilt: run-time error: " + e.message + "\n";
    (void)!::write(STDERR_FILENO, text.data(), text.size());
  };
  int status = 0;
  bool stopped = false;
  try {
    run(args);
  } catch (const Stop& s) {
    status = s.code;
    stopped = true;
  } catch (const RecordError& e) {
    report(e);
    status = 2;
  } catch (const std::bad_alloc&) {
    // The tables are reserved when first used (about 1 GB of address space, paid for only
    // as it fills); a system that refuses them gets a message, not a crash.
    report({"Not enough memory for the observation tables", "allocating the tables"});
    status = 2;
  }
  // Files still open are flushed and closed; a line left open by "$" is not ended.
  try {
    close_all_units();
  } catch (const RecordError& e) {
    report(e);
    if (status == 0) status = 2;
  }
  if (stopped) {
    const std::string text = "STOP " + std::to_string(status) + "\n";
    (void)!::write(STDERR_FILENO, text.data(), text.size());
  }
  return status;
}

}  // namespace obsq
