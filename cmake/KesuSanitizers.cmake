# Sanitizer builds of the whole project (library, tests, tools and fuzz replays).
option(KESU_SANITIZE_ADDRESS "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(KESU_SANITIZE_THREAD "Build with ThreadSanitizer" OFF)

if(KESU_SANITIZE_ADDRESS AND KESU_SANITIZE_THREAD)
    message(FATAL_ERROR "KESU_SANITIZE_ADDRESS and KESU_SANITIZE_THREAD exclude each other")
endif()

if(KESU_SANITIZE_ADDRESS)
    set(KESU_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
        -fno-omit-frame-pointer)
elseif(KESU_SANITIZE_THREAD)
    set(KESU_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
endif()

if(KESU_SANITIZER_FLAGS)
    add_compile_options(${KESU_SANITIZER_FLAGS})
    add_link_options(${KESU_SANITIZER_FLAGS})
    set(KESU_SANITIZED ON)
else()
    set(KESU_SANITIZED OFF)
endif()

# libFuzzer executables need clang; the library is then instrumented for coverage as well.
option(KESU_FUZZ "Build the fuzz targets as libFuzzer executables (needs clang)" OFF)
if(KESU_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
    set(KESU_SANITIZED ON)
endif()

# The environment of every test: headless Qt, and sanitizers that stop at their first report.
set(KESU_TEST_ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
if(KESU_SANITIZE_ADDRESS)
    list(APPEND KESU_TEST_ENVIRONMENT
        "ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1"
        "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan.supp:print_suppressions=0"
        "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1")
elseif(KESU_SANITIZE_THREAD)
    list(APPEND KESU_TEST_ENVIRONMENT
        "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${CMAKE_CURRENT_LIST_DIR}/tsan.supp")
endif()
