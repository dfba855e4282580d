# Fails unless LIB's dynamic symbol table (a DLL's export table) defines
# exactly the public calls (EXPECTED, the functions both public headers
# declare), and a DLL's IMPORT_LIB the same calls.
function(defined_names tool options file pattern out)
  execute_process(COMMAND ${tool} ${options} ${file} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${tool} failed on ${file}")
  endif()
  string(REGEX MATCHALL "${pattern}[^\n]+" lines "${symbols}")
  list(TRANSFORM lines REPLACE "${pattern}" "")
  list(SORT lines)
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

string(REPLACE "," ";" expected "${EXPECTED}")
list(SORT expected)
list(LENGTH expected count)
if(LIB MATCHES "\\.dll$")
  defined_names(${OBJDUMP} -p ${LIB} "\t\\[ *[0-9]+\\] " exported)
  list(FILTER exported EXCLUDE REGEX " ")  # the table of addresses
  defined_names(${NM} --defined-only ${IMPORT_LIB} "[0-9a-f]+ T " imported)
  list(TRANSFORM imported REPLACE "^_" "")  # 32-bit C names are decorated
else()
  defined_names(nm "-D;--defined-only" ${LIB} "[0-9a-f]+ [TDBRW] " exported)
  set(imported "${expected}")
endif()
if(count LESS 30 OR NOT exported STREQUAL expected OR NOT imported STREQUAL expected)
  message(FATAL_ERROR "exported: ${exported}\nimported: ${imported}\nexpected: ${expected}")
endif()
message(STATUS "exports: ${exported}")
