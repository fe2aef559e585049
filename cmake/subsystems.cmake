# Each subsystem folder owns its CMakeLists.txt: it adds its sources to the layer's library
# (target_sources) or declares its test executable, so parallel work never edits one shared list.
function(kelvo_add_subsystems)
  file(GLOB children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child}
       AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# kelvo_add_test(<name> SOURCES ... [LIBS ...]): one GoogleTest executable per subsystem.
function(kelvo_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} kelvo_testsupport GTest::gmock GTest::gtest)
  if(KELVO_SANITIZE)
    # The suites' own code is not where their time goes; unoptimized it compiles a third faster.
    target_compile_options(${name} PRIVATE -O0)
  endif()
  # Sanitizer options come from the environment (scripts/test exports them).
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
endfunction()

# kelvo_glob_sources(<target>): adds every .cpp of the calling folder to <target>.
function(kelvo_glob_sources target)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  target_sources(${target} PRIVATE ${srcs})
endfunction()

# kelvo_glob_test(<name> [LIBS ...]): one suite of every *_test.cpp of the calling folder.
function(kelvo_glob_test name)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(srcs)
    kelvo_add_test(${name} SOURCES ${srcs} ${ARGN})
  endif()
endfunction()
