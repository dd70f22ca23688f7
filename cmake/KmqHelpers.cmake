# One helper per kind of target, so that a new library, tool, test or benchmark is one line.

# The strict warning set for our own code; generated and third-party code is not built with it.
set(KMQ_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
    -Woverloaded-virtual -Wnull-dereference -Wdouble-promotion -Wformat=2)

if(KMQ_SANITIZE)
  add_compile_options(-fsanitize=${KMQ_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${KMQ_SANITIZE})
endif()

function(kmq_warnings target)
  target_compile_options(${target} PRIVATE ${KMQ_WARNINGS})
endfunction()

# kmq_test(name SOURCES a.cpp b.cpp LIBS lib1 lib2)
function(kmq_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  kmq_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()

# kmq_benchmark(name SOURCES a.cpp LIBS lib1)
function(kmq_benchmark name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  kmq_warnings(${name})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark benchmark::benchmark_main
                        Threads::Threads)
endfunction()
