# cmake -DCORE=<src/core> -P core_includes.cmake
# Fails, naming file and line, when a source or header of CORE includes a header of a layer above
# it (platform/, host/, testing/) or of X11 (Xlib, XCB, xkbcommon), Qt, D-Bus (libdbus, sd-bus) or Asio.
if(NOT IS_DIRECTORY "${CORE}")
  message(FATAL_ERROR "no core folder at '${CORE}'")
endif()
set(forbidden
    "platform/" "host/" "testing/"                 # the layers above core
    "X11/" "xcb/" "xkbcommon/"                     # X11
    "Q[A-Za-z]+$" "Q[A-Za-z]+\\.h$" "Qt[A-Za-z]*/" # Qt
    "dbus/" "systemd/sd-bus" "sd-bus"              # D-Bus
    "asio\\.hpp$" "asio/" "boost/asio")            # Asio
file(GLOB_RECURSE files RELATIVE "${CORE}" "${CORE}/*.h" "${CORE}/*.hpp" "${CORE}/*.cpp" "${CORE}/*.cc")
set(checked 0)
set(found "")
foreach(file ${files})
  math(EXPR checked "${checked} + 1")
  file(STRINGS "${CORE}/${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]*)[>\"].*" "\\1" header "${line}")
    foreach(pattern ${forbidden})
      if(header MATCHES "^${pattern}")
        list(APPEND found "src/core/${file}: #include <${header}>")
        break()
      endif()
    endforeach()
  endforeach()
endforeach()
if(checked EQUAL 0)
  message(FATAL_ERROR "no core file found under ${CORE}")
endif()
if(found)
  list(JOIN found "\n  " lines)
  message(FATAL_ERROR "core includes what lies above it:\n  ${lines}")
endif()
message(STATUS "${checked} core files include nothing of platform, host or testing, and no X11, Qt, D-Bus or Asio header")
