# The include lines of the whole tree keep its floors: no arrow runs up or sideways.
#
# The merge engine's folders are floors, each including only the floors below it (and itself):
#   records/  <-  tables/, timeconv/  <-  rinex/, output/ (side by side)  <-  driver/
# The libraries beside it (archive/, rinex3/, quiltfile/, cli/) stand alone; quality/ (multipath,
# slips, clock and satellite codes of a day) and runs/ (the runs of a day joined) stand on
# quiltfile/, report/ (the day's page, made by obsquilt-report and obsquilt-export --page) on
# quiltfile/ and quality/, day/ (what a day's files cost the store, the plan of its runs) counts
# with the engine's reader. The companion programs in apps/ use those libraries and never one
# another; obsquilt-check alone runs the engine,
# apps/prep reads the engine's limits and reads its inputs on the engine's worker pool, and
# export and report ask the engine's worker_threads() whether to parse ahead on another core.
# tools/, bench/ and fuzz/ use what they measure or feed;
# the tests may use everything.
#
# One line per folder: the folder (relative to the project; "dir/*" is every folder below dir),
# then what its files may include: a folder as include lines name it ("records" for
# "records/fields.hpp"), a single header ("records/limits.hpp"), or "*" for anything. A file
# always includes the headers beside it ("name.hpp") and its own folder ("check/check.hpp" in
# apps/check). A folder with C++ files that is not listed here fails the check: adding a folder
# is adding its line.
#
# Run as: cmake -DROOT=<project> -P floors.cmake
cmake_minimum_required(VERSION 3.25)
set(floors
  "src/records     :"
  "src/tables      : records"
  "src/timeconv    : records"
  "src/rinex       : records tables timeconv"
  "src/output      : records tables timeconv"
  "src/driver      : records tables timeconv rinex output"
  "src/archive     :"
  "src/rinex3      :"
  "src/quiltfile   :"
  "src/cli         :"
  "src/quality     : quiltfile"
  "src/day         : records tables timeconv rinex"
  "src/runs        : quiltfile"
  "src/report      : cli quiltfile quality"
  "apps            :"
  "apps/check      : cli records tables timeconv rinex output driver archive day"
  "apps/prep       : cli archive rinex3 records/limits.hpp records/workers.hpp"
  "apps/export     : cli quiltfile quality runs report records/workers.hpp"
  "apps/report     : cli quiltfile quality runs report records/workers.hpp"
  "apps/day        : cli day"
  "tools           : cli archive"
  "bench           : cli records tables timeconv rinex output archive rinex3 quiltfile report day"
  "fuzz            : records tables timeconv rinex output driver archive rinex3 quiltfile"
  "tests           : *"
  "tests/*         : *"
)

# The folders checked, and what is no source of the project inside them.
set(roots src apps tools bench fuzz tests)
set(ignored "/node_modules/|/scenarios/|/data/|/damaged/|/decoded/|/identify/")

foreach(entry IN LISTS floors)
  string(REGEX MATCH "^([^ :]+) *:(.*)$" _ "${entry}")
  set(folder "${CMAKE_MATCH_1}")
  string(STRIP "${CMAKE_MATCH_2}" allowed)
  string(REPLACE " " ";" allowed "${allowed}")
  set(allowed_${folder} "${allowed}")
  list(APPEND known "${folder}")
endforeach()

set(bad "")
foreach(root IN LISTS roots)
  file(GLOB_RECURSE sources RELATIVE ${ROOT} ${ROOT}/${root}/*.hpp ${ROOT}/${root}/*.cpp
       ${ROOT}/${root}/*.h ${ROOT}/${root}/*.cc ${ROOT}/${root}/*.cpp.in)
  foreach(source IN LISTS sources)
    if("/${source}" MATCHES "${ignored}")
      continue()
    endif()
    get_filename_component(folder ${source} DIRECTORY)
    get_filename_component(name ${folder} NAME)
    # The folder's own line, else the line of its parent folder ending in "/*".
    set(rule "")
    if(folder IN_LIST known)
      set(rule "${folder}")
    else()
      get_filename_component(parent ${folder} DIRECTORY)
      while(parent)
        if("${parent}/*" IN_LIST known)
          set(rule "${parent}/*")
          break()
        endif()
        get_filename_component(parent ${parent} DIRECTORY)
      endwhile()
    endif()
    if(NOT rule)
      string(APPEND bad "\n  ${source}: the folder ${folder}/ has no line in tests/floors.cmake")
      continue()
    endif()
    file(STRINGS ${ROOT}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" path "${line}")
      if(NOT path MATCHES "/")
        continue()  # a header beside the file
      endif()
      string(REGEX REPLACE "/.*" "" target "${path}")
      set(ok FALSE)
      if(target STREQUAL name OR "*" IN_LIST allowed_${rule} OR target IN_LIST allowed_${rule}
         OR path IN_LIST allowed_${rule})
        set(ok TRUE)
      endif()
      if(NOT ok)
        string(APPEND bad "\n  ${source}: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()
if(bad)
  message(FATAL_ERROR "includes that run up or sideways between the floors:${bad}")
endif()
