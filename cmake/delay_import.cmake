# Makes a delay-load import library from an ordinary mingw-w64 import
# library: the same functions, but the DLL is loaded on the first call.
#   cmake -DNM=<nm> -DDLLTOOL=<dlltool> -DLIB=<libX.a> -DDLL=<x.dll> -DOUT=<libX_delay.a> -P delay_import.cmake
execute_process(COMMAND ${NM} ${LIB} OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${NM} cannot read ${LIB}")
endif()
string(REGEX MATCHALL "__imp__[A-Za-z0-9_@?$]+" imports "${symbols}")
list(REMOVE_DUPLICATES imports)
set(def "LIBRARY ${DLL}\nEXPORTS\n")
foreach(import ${imports})
    string(REGEX REPLACE "^__imp__" "" name "${import}")
    string(APPEND def "    ${name}\n")
endforeach()
file(WRITE ${OUT}.def "${def}")
execute_process(COMMAND ${DLLTOOL} -k --input-def ${OUT}.def --dllname ${DLL} --output-delaylib ${OUT}
    RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${DLLTOOL} could not make ${OUT}")
endif()
