# Writes one .def file from the DLLs' own: -DOUTPUT= -DDIR= -DDLLS=a;b [-DFORWARD=dll] [-DPLAIN=ON]
# Without FORWARD the exports of every DLL listed, decorated (the link kills the @N);
# with it, each name forwarded to that DLL. PLAIN drops the decoration everywhere: 64-bit
# Windows has a single calling convention and no @N.
list(GET DLLS 0 first)
set(text "LIBRARY ${first}.dll\nEXPORTS\n")
foreach(dll ${DLLS})
  file(STRINGS ${DIR}/${dll}.def lines REGEX "^  BASS_")
  foreach(line ${lines})
    string(STRIP "${line}" name)
    string(REGEX REPLACE "@[0-9]+$" "" plain "${name}")
    if(FORWARD)
      string(APPEND text "  ${plain} = ${FORWARD}.${plain}\n")
    elseif(PLAIN)
      string(APPEND text "  ${plain}\n")
    else()
      string(APPEND text "  ${name}\n")
    endif()
  endforeach()
endforeach()
file(WRITE ${OUTPUT} "${text}")
