# Instrumented builds, each in a build directory of its own:
#   SCANNER_SANITIZE  the whole suite with AddressSanitizer and UndefinedBehaviorSanitizer
#   SCANNER_FUZZ      the libFuzzer targets of fuzz/ (clang only), with both sanitizers
# Any sanitizer report ends the program, so that a test or a fuzz run fails on it.
option(SCANNER_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(SCANNER_FUZZ "Build the libFuzzer targets (needs clang)" OFF)

if(SCANNER_SANITIZE OR SCANNER_FUZZ)
    set(scanner_sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all
                           -fno-omit-frame-pointer)
    add_compile_options(${scanner_sanitizers})
    add_link_options(${scanner_sanitizers})
endif()

if(SCANNER_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "SCANNER_FUZZ needs clang: configure with CXX=clang++")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
