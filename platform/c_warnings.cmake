# The C parts of the build take the project's warning list, less any flag that the C
# compiler refuses or warns about (C++-only warnings).
include(CheckCCompilerFlag)

function(vornex_c_warnings out_var)
  set(accepted "")
  foreach(flag IN LISTS VORNEX_WARNINGS)
    string(MAKE_C_IDENTIFIER "VORNEX_C_ACCEPTS${flag}" check_var)
    check_c_compiler_flag("${flag}" ${check_var})
    if(${check_var})
      list(APPEND accepted "${flag}")
    endif()
  endforeach()
  set(${out_var} "${accepted}" PARENT_SCOPE)
endfunction()
