# vela_add_test(NAME SOURCES a.cpp b.cpp LIBS x y [LABELS threaded] [COM_PAIRS n])
# One GoogleTest executable; each TEST becomes a ctest case. Tests labelled "threaded"
# also run in the ThreadSanitizer build. COM_PAIRS: the program uses n linked serial port pairs
# (tests/support/ComPairs.h); under Wine scripts/with-com-pairs makes them around the run, on
# Linux the program makes them itself.
function(vela_add_test name)
    cmake_parse_arguments(T "" "COM_PAIRS" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest ${VELA_GTEST_MAIN} GTest::gmock Threads::Threads)
    # GoogleTest's and GoogleMock's headers are compiled once for every test program.
    target_precompile_headers(${name} REUSE_FROM vela_test_pch)
    if("threaded" IN_LIST T_LABELS)
        vela_threaded_target(${name})
    endif()
    if(CMAKE_CROSSCOMPILING)
        # One ctest case per program: each start under the emulator (Wine) is costly.
        if(T_COM_PAIRS)
            add_test(NAME ${name} COMMAND ${CMAKE_SOURCE_DIR}/scripts/with-com-pairs ${T_COM_PAIRS}
                ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}>)
        else()
            add_test(NAME ${name} COMMAND ${name})
        endif()
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}" TIMEOUT 300)
        if(name IN_LIST VELA_WINDOWS_PENDING_TESTS)
            set_tests_properties(${name} PROPERTIES DISABLED TRUE)
        endif()
    else()
        gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS "${T_LABELS}" TIMEOUT 120)
    endif()
endfunction()

# vela_threaded_target(TARGET...): programs that the threaded tests run; the ThreadSanitizer
# build makes only these (the target vela_threaded_tests).
function(vela_threaded_target)
    set_property(GLOBAL APPEND PROPERTY VELA_THREADED_TARGETS ${ARGN})
endfunction()

# vela_add_subdirs(): adds every immediate subfolder that has a CMakeLists.txt.
macro(vela_add_subdirs)
    file(GLOB _children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
    list(SORT _children)
    foreach(_child ${_children})
        if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${_child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${_child}/CMakeLists.txt)
            add_subdirectory(${_child})
        endif()
    endforeach()
endmacro()

# vela_add_fuzzer(NAME SOURCES a.cpp LIBS x y): a libFuzzer target, built only with -DVELA_FUZZ=ON
# (clang). Its seed corpus lives in fuzz/corpus/NAME; scripts/run-fuzzers runs it for a bounded time.
function(vela_add_fuzzer name)
    cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
    if(NOT VELA_FUZZ)
        return()
    endif()
    add_executable(${name} ${F_SOURCES})
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(vela_fuzzers ${name})
endfunction()

# vela_add_bench(NAME SOURCES a.cpp LIBS x y): a benchmark program; scripts/run-benchmarks runs
# every bench_* program of an optimised build.
function(vela_add_bench name)
    cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${B_SOURCES})
    target_link_libraries(${name} PRIVATE ${B_LIBS} Threads::Threads)
    add_dependencies(vela_benchmarks ${name})
endfunction()

# vela_install_library(TARGET NAME): a shared library of the installed package, exported as
# Vela::NAME. Its users include headers by their path from the source root ("framework/...");
# installed, that root is include/vela. It finds the package's other libraries next to itself.
function(vela_install_library target name)
    target_include_directories(${target} PUBLIC
        $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}> $<INSTALL_INTERFACE:${VELA_INSTALL_INCLUDEDIR}>)
    set_target_properties(${target} PROPERTIES
        EXPORT_NAME ${name}
        VERSION ${PROJECT_VERSION}
        SOVERSION ${PROJECT_VERSION_MAJOR}
        INSTALL_RPATH "$ORIGIN")
    add_library(Vela::${name} ALIAS ${target})
endfunction()
