# Warnings are errors in our own code; third-party code is built with its own settings.
function(fb_set_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-missing-field-initializers)
    # GCC 12 with optimisation reports overlapping copies inside libstdc++'s basic_string
    # replace that cannot happen (GCC bug 105329, mended in GCC 13): a plain assignment of a
    # short literal to a std::u16string stops an optimised build.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
       AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      target_compile_options(${target} PRIVATE $<$<AND:$<COMPILE_LANGUAGE:CXX>,$<NOT:$<CONFIG:Debug>>>:-Wno-restrict>)
    endif()
  endif()
endfunction()
