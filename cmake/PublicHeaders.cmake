# Script mode: copies the public headers from SRC into DEST/ostrel/<dir>/,
# with their project includes spelled <ostrel/<dir>/...>, so hosts include
# <ostrel/driver/cls_Door.h> and nothing generic like "driver/..." or
# "runtime/..." lands on their include path. Files are rewritten only when
# their text changed, so rebuilds stay quiet.
#   cmake -DSRC=<source dir> -DDEST=<include dir> -P PublicHeaders.cmake
set(headers)
foreach(dir basic runtime driver)
  file(GLOB found RELATIVE ${SRC} ${SRC}/${dir}/*.h)
  list(APPEND headers ${found})
endforeach()
list(APPEND headers serial/SerialPort.h)
foreach(h IN LISTS headers)
  file(READ ${SRC}/${h} text)
  string(REGEX REPLACE "#include \"((basic|runtime|driver|serial)/[^\"]+)\"" "#include <ostrel/\\1>" text "${text}")
  set(out ${DEST}/ostrel/${h})
  set(old "")
  if(EXISTS ${out})
    file(READ ${out} old)
  endif()
  if(NOT old STREQUAL text)
    file(WRITE ${out} "${text}")
  endif()
endforeach()
# The C interface's header is already spelled as hosts include it.
configure_file(${SRC}/include/ostrel/ostrel.h ${DEST}/ostrel/ostrel.h COPYONLY)
