# Compiles the Windows resource script and checks that the administrator manifest, declaring long
# paths, went in.
execute_process(COMMAND "${WINDRES}" "${RC}" -O coff -o "${OUT}" RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "windres failed: ${err}")
endif()
file(STRINGS "${OUT}" found REGEX "requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"")
if(NOT found)
    message(FATAL_ERROR "the compiled resources hold no requireAdministrator manifest")
endif()
file(STRINGS "${OUT}" long_paths REGEX "<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true</longPathAware>")
if(NOT long_paths)
    message(FATAL_ERROR "the compiled manifest does not declare long paths")
endif()
