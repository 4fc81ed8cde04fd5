# The engine's folders are floors: each includes only the floors below it (and itself).
#   records/  <-  tables/, timeconv/  <-  rinex/, output/ (side by side)  <-  driver/
# The parts beside the engine (archive/, quiltfile/) stand on the record layer at most.
# Run as: cmake -DSRC=<project>/src -P floors.cmake
set(allowed_records "records")
set(allowed_tables "records|tables")
set(allowed_timeconv "records|timeconv")
set(allowed_rinex "records|tables|timeconv|rinex")
set(allowed_output "records|tables|timeconv|output")
set(allowed_archive "records|archive")
set(allowed_quiltfile "quiltfile")
set(bad "")
file(GLOB_RECURSE sources RELATIVE ${SRC} ${SRC}/*.hpp ${SRC}/*.cpp)
foreach(source ${sources})
  get_filename_component(folder ${source} DIRECTORY)
  if(NOT DEFINED allowed_${folder})
    continue()  # driver/ is the roof and may include every floor
  endif()
  file(STRINGS ${SRC}/${source} includes REGEX "^#include \"")
  foreach(line ${includes})
    string(REGEX REPLACE "^#include \"([^\"]+)/[^/\"]+\".*" "\\1" target "${line}")
    if(NOT target MATCHES "^(${allowed_${folder}})$")
      string(APPEND bad "\n  ${source}: ${line}")
    endif()
  endforeach()
endforeach()
if(bad)
  message(FATAL_ERROR "includes that run up or sideways between the floors:${bad}")
endif()
