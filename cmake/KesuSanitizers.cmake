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
