// The stop codes of the merge engine: every condition that ends a run with "STOP n" and exit
// status n, by name, with what it means. The engine raises them by these names; obsquilt-check
// explains a stop from this table, and the manual page lists exactly these codes (a test holds
// the two together).
#pragma once

#include <string_view>

namespace obsq::stops {

// The command line (readargs): a missing or illegal START, STOP or STEP.
inline constexpr int kMissingStart = 87690;
inline constexpr int kIllegalStart = 87691;
inline constexpr int kMissingStop = 87680;
inline constexpr int kIllegalStop = 87681;
inline constexpr int kStopBeforeStart = 87683;
inline constexpr int kMissingStep = 87620;
inline constexpr int kIllegalStep = 87621;
// The list and the header scan (loadlist).
inline constexpr int kTooManyFiles = 98347;
inline constexpr int kNoTypesContinuation = 93723;
inline constexpr int kFirstObsYear = 34588;
// The observation reader.
inline constexpr int kTooManyTypes = 45787;
inline constexpr int kEpochNotFiled = 65600;
inline constexpr int kValueNotFiled = 65656;
// The observation key codec: satellite codes it cannot encode.
inline constexpr int kSatSystem = 84571;
inline constexpr int kSatNumber = 84572;
// Guards of the key codec and the calendar that the readers' checks keep out of reach.
inline constexpr int kSatIndex = 84573;
inline constexpr int kTypeLetter = 84581;
inline constexpr int kTypeDigit = 84582;
inline constexpr int kTypeIndex = 84583;
inline constexpr int kKeyFile = 84591;
inline constexpr int kKeySecond = 84592;
inline constexpr int kKeyFileDecoded = 84593;
inline constexpr int kKeySecondDecoded = 84594;
inline constexpr int kKeySatDecoded = 84595;
inline constexpr int kKeyTypeDecoded = 84596;
inline constexpr int kDayOffsetYear = 34587;
inline constexpr int kTimeYear = 34589;

struct StopCode {
  int code;
  std::string_view name;     // the constant's name above, without the k
  std::string_view meaning;  // what the run met, in a user's words
  bool program_fault;        // only a fault of the program reaches it
};

inline constexpr StopCode kAll[] = {
    {kMissingStart, "MissingStart", "no first argument (START), or a blank one", false},
    {kIllegalStart, "IllegalStart", "START below 0 or above 86400, or not a number", false},
    {kMissingStop, "MissingStop", "no second argument (STOP), or a blank one", false},
    {kIllegalStop, "IllegalStop", "STOP below 0 or above 86400, or not a number", false},
    {kStopBeforeStart, "StopBeforeStart", "STOP less than START", false},
    {kMissingStep, "MissingStep", "no third argument (STEP), or a blank one", false},
    {kIllegalStep, "IllegalStep", "STEP below 1 or above 86400, or not a number", false},
    {kTooManyFiles, "TooManyFiles", "more than 1000 readable files in the list", false},
    {kNoTypesContinuation, "NoTypesContinuation",
     "a '# / TYPES OF OBSERV' count above 9 is not followed by a record with that label", false},
    {kFirstObsYear, "FirstObsYear",
     "a 'TIME OF FIRST OBS' year before 1900 (a blank year reads as 0)", false},
    {kTooManyTypes, "TooManyTypes", "more than 50 observation types in the header", false},
    {kEpochNotFiled, "EpochNotFiled",
     "two kept epochs of one file on the same second of day, or the observation store is full",
     false},
    {kValueNotFiled, "ValueNotFiled",
     "a value is filed twice: a satellite listed twice in one epoch, or two types of one number "
     "in the header (such as L1 and l1)",
     false},
    {kSatSystem, "SatSystem", "a satellite code whose system letter is not G, R, S, E, C or blank",
     false},
    {kSatNumber, "SatNumber", "a satellite code with a negative number", false},
    {kSatIndex, "SatIndex", "a satellite number out of range", true},
    {kTypeLetter, "TypeLetter", "an observation type of another letter than P, C, L or D", true},
    {kTypeDigit, "TypeDigit", "an observation type of another frequency than 1-8 or A-D", true},
    {kTypeIndex, "TypeIndex", "an observation type number out of range", true},
    {kKeyFile, "KeyFile", "a negative file number in a store key", true},
    {kKeySecond, "KeySecond", "a second of day out of range in a store key", true},
    {kKeyFileDecoded, "KeyFileDecoded", "a negative file number in a stored key", true},
    {kKeySecondDecoded, "KeySecondDecoded", "a second of day out of range in a stored key", true},
    {kKeySatDecoded, "KeySatDecoded", "a satellite number out of range in a stored key", true},
    {kKeyTypeDecoded, "KeyTypeDecoded", "a type number out of range in a stored key", true},
    {kDayOffsetYear, "DayOffsetYear", "a reference year before 1900", true},
    {kTimeYear, "TimeYear", "an epoch year before 1900", true},
};

// The entry of a code, or nullptr for a number that is no stop code of the engine.
constexpr const StopCode* find(int code) {
  for (const StopCode& s : kAll)
    if (s.code == code) return &s;
  return nullptr;
}

// What a stop code means; empty for a number that is none.
constexpr std::string_view meaning(int code) {
  const StopCode* s = find(code);
  return s != nullptr ? s->meaning : std::string_view();
}

}  // namespace obsq::stops
