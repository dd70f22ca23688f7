# One helper per kind of target, so that a new library, tool, test, benchmark or fuzz target is one
# line.

# The strict warning set for our own code; generated and third-party code is not built with it.
set(KMQ_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
    -Woverloaded-virtual -Wnull-dereference -Wdouble-promotion -Wformat=2)
if(KMQ_WERROR)
  list(APPEND KMQ_WARNINGS -Werror)
endif()

# Sanitizers apply to every target of the build, the host stand-in and the plug-in included, so
# that a report names the real culprit. Undefined behaviour aborts instead of printing and going
# on, so a test that triggers it fails.
if(KMQ_SANITIZE)
  add_compile_options(-fsanitize=${KMQ_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${KMQ_SANITIZE})
  if(KMQ_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# The fuzz build: every target is instrumented for coverage and built with AddressSanitizer and
# UndefinedBehaviorSanitizer; only the fuzz targets link libFuzzer's driver (kmq_fuzzer below).
if(KMQ_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KMQ_FUZZ needs clang (configure with CC=clang CXX=clang++)")
  endif()
  if(KMQ_SANITIZE)
    message(FATAL_ERROR "KMQ_FUZZ brings its own sanitizers; leave KMQ_SANITIZE empty")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()

function(kmq_warnings target)
  target_compile_options(${target} PRIVATE ${KMQ_WARNINGS})
endfunction()

# kmq_test(name SOURCES a.cpp b.cpp LIBS lib1 lib2 LABELS unit threads DEFINITIONS X="y"
#          DEPENDS program)
# Every test links GoogleTest and the test-support library (tests/support).
# LABELS become CTest labels of every test case of the executable, so that a run can pick them
# (`ctest -L threads`) or leave them out (`ctest -LE soak`). Label `threads` marks an executable
# any of whose tests starts a thread: those run again under ThreadSanitizer. DEFINITIONS are
# compile definitions of the test program, DEPENDS the programs it runs (built before it).
# In the Windows build only the suites named in KMQ_WINDOWS_TESTS (tests/windows_tests.cmake) are
# made; the call is a no-op for the others. Every suite made is part of the target `test_programs`.
function(kmq_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;DEFINITIONS;DEPENDS" ${ARGN})
  if(WIN32 AND NOT name IN_LIST KMQ_WINDOWS_TESTS)
    return()
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  kmq_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} kmq_test_support GTest::gtest GTest::gtest_main
                        Threads::Threads)
  if(T_DEFINITIONS)
    target_compile_definitions(${name} PRIVATE ${T_DEFINITIONS})
  endif()
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  set_property(GLOBAL APPEND PROPERTY KMQ_TEST_PROGRAMS ${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${T_TIMEOUT})
  # The discovered tests exist only when CTest reads the file gtest_discover_tests writes, so
  # their labels are set by a file CTest reads right after it, from the list it defines.
  # (Labels passed through PROPERTIES lose all but the first entry.)
  foreach(label ${T_LABELS})
    set_property(GLOBAL APPEND PROPERTY KMQ_TESTS_LABELLED_${label} ${name})
  endforeach()
  if(T_LABELS)
    set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
    file(WRITE ${labels_file}
         "if(${name}_TESTS)\n"
         "  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${T_LABELS}\")\n"
         "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
  endif()
endfunction()

# kmq_label_target(label): a target `<label>_tests` that builds every test executable carrying
# label, so that a sanitizer build compiles only what `ctest -L label` runs. Call it after the
# tests are added. (The tests of executables not built show as <name>_NOT_BUILT, without labels.)
function(kmq_label_target label)
  get_property(executables GLOBAL PROPERTY KMQ_TESTS_LABELLED_${label})
  add_custom_target(${label}_tests DEPENDS ${executables})
endfunction()

# kmq_lock_analysis(target source...): clang's thread-safety analysis over each source, compiled
# as target compiles it (its include directories and definitions, transitive ones included), as
# the CTest test ThreadSafetyAnalysis.<source name> (labels unit, analysis). A member read without
# the lock its GUARDED_BY names, or a function called without the lock it REQUIRES, fails the
# test. Required, so that the check never silently drops out on a machine without clang
# (scripts/install-deps.sh installs it). Analyses run in the tests only, never in the build.
function(kmq_lock_analysis target)
  if(NOT KMQ_BUILD_TESTS)
    return()
  endif()
  find_program(KMQ_CLANGXX NAMES clang++ clang++-14)
  if(NOT KMQ_CLANGXX)
    message(FATAL_ERROR "clang++ is needed for the lock analysis tests; run scripts/install-deps.sh")
  endif()
  # The compiler's own include directories stay its own: named with -I, they would come before
  # the C++ library's headers, whose #include_next then misses the C headers.
  set(implicit /usr/include ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES})
  list(REMOVE_DUPLICATES implicit)
  string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" implicit_regex "${implicit}")
  string(REPLACE ";" "|" implicit_regex "${implicit_regex}")
  set(includes "$<FILTER:$<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>,EXCLUDE,^(${implicit_regex})/?$>")
  set(definitions "$<TARGET_PROPERTY:${target},COMPILE_DEFINITIONS>")
  # The Windows cross build analyses its sources for Windows, with the cross compiler's C++
  # library (clang finds the target's C headers itself, and has its own compiler headers).
  set(platform)
  if(CMAKE_CROSSCOMPILING)
    if(NOT KMQ_MINGW_TRIPLE)
      return()
    endif()
    list(APPEND platform --target=${KMQ_MINGW_TRIPLE})
    foreach(dir ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES})
      if(dir MATCHES "/c\\+\\+")
        list(APPEND platform -isystem ${dir})
      endif()
    endforeach()
  endif()
  foreach(source ${ARGN})
    get_filename_component(name ${source} NAME_WE)
    get_filename_component(path ${source} ABSOLUTE)
    if(TEST ThreadSafetyAnalysis.${name})
      message(FATAL_ERROR "kmq_lock_analysis: a second source named ${name} (${path})")
    endif()
    add_test(NAME ThreadSafetyAnalysis.${name}
             COMMAND ${KMQ_CLANGXX} -std=c++17 -fsyntax-only -Wthread-safety -Wthread-safety-beta
                     -Werror=thread-safety -Werror=thread-safety-beta ${platform}
                     "$<$<BOOL:${includes}>:-I$<JOIN:${includes},;-I>>"
                     "$<$<BOOL:${definitions}>:-D$<JOIN:${definitions},;-D>>" ${path}
             COMMAND_EXPAND_LISTS)
    set_tests_properties(ThreadSafetyAnalysis.${name} PROPERTIES LABELS "unit;analysis")
  endforeach()
endfunction()

# kmq_benchmark(name SOURCES a.cpp LIBS lib1): links Google Benchmark and the test-support library.
function(kmq_benchmark name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  kmq_warnings(${name})
  target_link_libraries(${name} PRIVATE ${B_LIBS} kmq_test_support benchmark::benchmark
                        benchmark::benchmark_main Threads::Threads)
endfunction()

# kmq_fuzzer(name SOURCES a.cpp LIBS lib1): a fuzz target over inputs in fuzz/corpus/<name> and
# fuzz/regressions/<name>. In a KMQ_FUZZ build it is the libFuzzer program <name>_fuzzer; in the
# other builds with tests, <name>_replay runs those inputs once each as CTest FuzzReplay.<name>.
function(kmq_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  if(KMQ_FUZZ)
    set(program ${name}_fuzzer)
    add_executable(${program} ${F_SOURCES})
    target_link_options(${program} PRIVATE -fsanitize=fuzzer)
  elseif(KMQ_BUILD_TESTS)
    set(program ${name}_replay)
    add_executable(${program} ${F_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
    add_test(NAME FuzzReplay.${name}
             COMMAND ${program} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name}
                     ${PROJECT_SOURCE_DIR}/fuzz/regressions/${name})
    set_tests_properties(FuzzReplay.${name} PROPERTIES LABELS "unit;fuzz" TIMEOUT 120)
  else()
    return()
  endif()
  kmq_warnings(${program})
  target_link_libraries(${program} PRIVATE ${F_LIBS})
  target_compile_definitions(${program} PRIVATE KMQ_DATA_DIR="${KMQ_DATA_DIR}")
endfunction()
