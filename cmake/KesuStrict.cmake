# Strictness for the project's own targets only; it is never part of a target's usage requirements,
# so consumers of the installed package are free to build with or without these defines.
function(kesu_strict target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror=return-type)
    if(KESU_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    # An index one past a container's end aborts in the tests instead of reading whatever lies there.
    if(KESU_CHECKED)
        target_compile_definitions(${target} PRIVATE _GLIBCXX_ASSERTIONS)
    endif()
    target_compile_definitions(${target} PRIVATE
        QT_NO_KEYWORDS
        QT_NO_CAST_FROM_ASCII
        QT_NO_CAST_TO_ASCII
        QT_NO_CAST_FROM_BYTEARRAY
        QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
        QT_USE_QSTRINGBUILDER
        QT_NO_URL_CAST_FROM_STRING)
endfunction()
