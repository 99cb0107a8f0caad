# cmake -DREADELF=<readelf> -DOBJECTS=<kernel objects> -DRUNTIME_OBJECTS=<engine objects>
#       -DOUTPUT=<file.cc> -P dynamic_shared_area.cmake
#
# Writes the source that defines a kernel library's dynamic shared memory:
# `extern __shared__ T name[];` is an extern thread-local declaration (see
# zantu_kernel.h) that nothing defines, so every thread-local symbol the
# kernel objects use but neither they nor the engine define is such a name;
# each becomes a hidden alias of one thread-local area. Thread-local symbols
# of the C++ runtime (namespace std and the ABI's) are left to it.
cmake_minimum_required(VERSION 3.16)

function(zantu_tls_symbols object undefined_var defined_var)
  execute_process(COMMAND ${READELF} -sW ${object} OUTPUT_VARIABLE table RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${READELF} -sW ${object} failed")
  endif()
  string(REPLACE "\n" ";" lines "${table}")
  set(undefined ${${undefined_var}})
  set(defined ${${defined_var}})
  foreach(line IN LISTS lines)
    if(line MATCHES "^ *[0-9]+: [0-9a-f]+ +[0-9a-fx]+ +TLS +(GLOBAL|WEAK) +[A-Z]+ +([A-Z0-9]+) +([^ ]+)$")
      if(CMAKE_MATCH_2 STREQUAL "UND")
        list(APPEND undefined ${CMAKE_MATCH_3})
      else()
        list(APPEND defined ${CMAKE_MATCH_3})
      endif()
    endif()
  endforeach()
  set(${undefined_var} ${undefined} PARENT_SCOPE)
  set(${defined_var} ${defined} PARENT_SCOPE)
endfunction()

set(undefined "")
set(defined "")
foreach(object IN LISTS OBJECTS)
  zantu_tls_symbols(${object} undefined defined)
endforeach()
set(ignored "")
foreach(object IN LISTS RUNTIME_OBJECTS)
  zantu_tls_symbols(${object} ignored defined)
endforeach()

set(names "")
foreach(name IN LISTS undefined)
  if(name IN_LIST defined OR name MATCHES "^(_ZSt|_ZNSt|_ZN9__gnu_cxx|_ZN10__cxxabiv1)")
    continue()
  endif()
  list(APPEND names ${name})
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)

set(text "// Written by the build (dynamic_shared_area.cmake): the dynamic shared\n")
string(APPEND text "// memory of this kernel library and the names its kernels give it.\n")
if(names)
  string(APPEND text "#include \"node/kernel_runtime/zantu_kernel.h\"\n\n")
  string(APPEND text "extern \"C\" {\nalignas(16) thread_local unsigned char zantu_dynamic_shared_area")
  string(APPEND text "[zantu::kMaxDynamicSharedBytes] __attribute__((visibility(\"hidden\")));\n}\n")
  # A use of an extern thread_local variable may call its initialisation
  # function (_ZTH and the variable's encoding) without first checking that
  # one exists (GCC does in templates): the area needs none, so each name
  # gets one that does nothing.
  string(APPEND text "extern \"C\" __attribute__((visibility(\"hidden\"))) void zantu_dynamic_shared_init() noexcept {}\n")
  set(i 0)
  foreach(name IN LISTS names)
    if(name MATCHES "^_Z(.*)$")
      set(init "_ZTH${CMAKE_MATCH_1}")
    else()
      string(LENGTH "${name}" length)
      set(init "_ZTH${length}${name}")
    endif()
    string(APPEND text "extern thread_local unsigned char zantu_dynamic_shared_${i}[zantu::kMaxDynamicSharedBytes] ")
    string(APPEND text "__asm__(\"${name}\")\n    __attribute__((alias(\"zantu_dynamic_shared_area\"), visibility(\"hidden\")));\n")
    string(APPEND text "extern \"C\" void zantu_dynamic_shared_init_${i}() noexcept __asm__(\"${init}\")\n")
    string(APPEND text "    __attribute__((alias(\"zantu_dynamic_shared_init\"), visibility(\"hidden\")));\n")
    math(EXPR i "${i} + 1")
  endforeach()
endif()

# Rewritten only when it changes, so that an unchanged set of names does not
# recompile it.
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
  if(old STREQUAL text)
    return()
  endif()
endif()
file(WRITE ${OUTPUT} "${text}")
