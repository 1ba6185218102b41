# orvane_delay_import(NAME): the interface target orvane_delay_<NAME>, through
# which the Windows programs link the system library <NAME>.dll delay-loaded.
# Its first use then loads it by name, after the program has narrowed the
# library search to System32; a file of that name planted beside the
# executable is never loaded. Libraries that the system always takes from
# System32 (kernel32, user32, gdi32, advapi32, ole32, shlwapi, msvcrt) are
# imported as usual.
#
# MinGW-w64: the delay-import library is made at configure time with dlltool
# from the names the toolchain's own import library exports; the helper that
# resolves the imports at run time (__delayLoadHelper2) is in its runtime.
# The delay-import libraries of binutils 2.40 resolve a direct call (through
# the function's thunk) but not a call through its import pointer (__imp_),
# which jumps to address 0. The headers of setupapi and comctl32 declare their
# functions as imported unless told they are being built, so their users are
# compiled with that define: plain declarations, direct calls.
# MSVC: the import library and /DELAYLOAD.
function(orvane_delay_import name)
  set(target orvane_delay_${name})
  add_library(${target} INTERFACE)
  if(MINGW)
    find_library(_import_${name} NAMES lib${name}.a REQUIRED)
    set(dir ${CMAKE_BINARY_DIR}/delayimports)
    set(def ${dir}/${name}.def)
    set(lib ${dir}/lib${name}_delay.a)
    file(MAKE_DIRECTORY ${dir})
    execute_process(COMMAND ${CMAKE_NM} -g --defined-only ${_import_${name}}
                    OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_result)
    if(NOT nm_result EQUAL 0)
      message(FATAL_ERROR "cannot list the exports of ${_import_${name}}")
    endif()
    # Text symbols are the functions: "_Name@N" on 32-bit, without the
    # leading underscore in the .def; dlltool -k drops "@N" from the name
    # looked up in the DLL. 64-bit symbols carry no decoration at all.
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      set(decoration "_")
    else()
      set(decoration "")
    endif()
    string(REGEX MATCHALL "[0-9a-fA-F]+ T ${decoration}[^\n]+" lines "${symbols}")
    set(exports "")
    foreach(line ${lines})
      string(REGEX REPLACE "^[0-9a-fA-F]+ T ${decoration}" "" export "${line}")
      list(APPEND exports "${export}")
    endforeach()
    list(REMOVE_DUPLICATES exports)
    list(JOIN exports "\n" exports)
    file(WRITE ${def}.new "LIBRARY ${name}.dll\nEXPORTS\n${exports}\n")
    configure_file(${def}.new ${def} COPYONLY)
    if(NOT EXISTS ${lib} OR ${def} IS_NEWER_THAN ${lib})
      execute_process(COMMAND ${CMAKE_DLLTOOL} -k --input-def ${def} --dllname ${name}.dll --output-delaylib ${lib}
                      RESULT_VARIABLE dlltool_result)
      if(NOT dlltool_result EQUAL 0)
        message(FATAL_ERROR "dlltool could not make the delay-import library of ${name}.dll")
      endif()
    endif()
    target_link_libraries(${target} INTERFACE ${lib})
    if(name STREQUAL "setupapi")
      target_compile_definitions(${target} INTERFACE _SETUPAPI_)
    elseif(name STREQUAL "comctl32")
      target_compile_definitions(${target} INTERFACE _COMCTL32_)
    endif()
  elseif(MSVC)
    target_link_libraries(${target} INTERFACE ${name} delayimp)
    target_link_options(${target} INTERFACE /DELAYLOAD:${name}.dll)
  else()
    target_link_libraries(${target} INTERFACE ${name})
  endif()
endfunction()
