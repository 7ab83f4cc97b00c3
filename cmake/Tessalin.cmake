# Helpers shared by the unit folders. Each folder's sources are gathered by
# pattern, so adding a unit needs no edit here:
#   Foo.cpp            portable source
#   Foo_posix.cpp      Linux only        Foo_win32.cpp   Windows only
#   Foo_test.cpp       unit test beside the code it tests (also _posix/_win32)

# Drops the files of the other system: *_posix on Windows, *_win32 elsewhere.
function(tessalin_for_this_system out)
  set(result)
  foreach(f IN LISTS ARGN)
    get_filename_component(n ${f} NAME_WE)
    if(WIN32 AND n MATCHES "_posix$")
      continue()
    endif()
    if(NOT WIN32 AND n MATCHES "_win32$")
      continue()
    endif()
    list(APPEND result ${f})
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

function(tessalin_sources out dir)
  file(GLOB all CONFIGURE_DEPENDS ${dir}/*.cpp)
  list(FILTER all EXCLUDE REGEX "_test(_posix|_win32)?\\.cpp$")
  tessalin_for_this_system(result ${all})
  set(${out} ${result} PARENT_SCOPE)
endfunction()

function(tessalin_test_sources out dir)
  file(GLOB all CONFIGURE_DEPENDS ${dir}/*_test.cpp ${dir}/*_test_posix.cpp ${dir}/*_test_win32.cpp)
  tessalin_for_this_system(result ${all})
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# tessalin_unit_library(<target> DEPS <libs...> [EXCLUDE <file names...>])
function(tessalin_unit_library target)
  cmake_parse_arguments(A "" "" "DEPS;EXCLUDE" ${ARGN})
  tessalin_sources(srcs ${CMAKE_CURRENT_SOURCE_DIR})
  foreach(x IN LISTS A_EXCLUDE)
    list(FILTER srcs EXCLUDE REGEX "/${x}$")
  endforeach()
  if(NOT srcs)
    # A folder whose units are all headers so far.
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} INTERFACE ${A_DEPS} Threads::Threads)
    return()
  endif()
  add_library(${target} STATIC ${srcs})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${target} PUBLIC ${A_DEPS} Threads::Threads)
endfunction()

# tessalin_unit_tests(<target> DEPS <libs...>): one test program for the
# folder's *_test.cpp files, run by ctest (under Wine for the Windows build).
function(tessalin_unit_tests target)
  cmake_parse_arguments(A "" "" "DEPS" ${ARGN})
  tessalin_test_sources(srcs ${CMAKE_CURRENT_SOURCE_DIR})
  if(NOT srcs OR NOT TESSALIN_TESTS)
    return()
  endif()
  add_executable(${target} ${srcs})
  target_link_libraries(${target} PRIVATE ${A_DEPS} GTest::gmock GTest::gtest_main)
  # Fakes implement the platform interfaces and ignore what they do not
  # record.
  target_compile_options(${target} PRIVATE -Wno-unused-parameter)
  add_test(NAME ${target} COMMAND ${target})
  # "unit": run in the sanitizer stages as well.
  set_tests_properties(${target} PROPERTIES TIMEOUT 600 LABELS unit)
endfunction()
