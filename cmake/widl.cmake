# Type library and C++ declarations from one IDL file, with Wine's IDL folder and Wine's
# stdole2.tlb of the build's bitness for the OLE Automation import: a 64-bit library
# (--win64) for Tamrix64.dll, a 32-bit one otherwise.
find_program(WIDL NAMES i686-w64-mingw32-widl widl REQUIRED)
set(TAMRIX_WINE_IDL_DIR /usr/include/wine/wine/windows CACHE PATH "Wine's IDL files (libwine-dev)")
if(TAMRIX_WIN64)
  set(TAMRIX_WIDL_TARGET --win64)
  find_path(TAMRIX_STDOLE_DIR stdole2.tlb
            PATHS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows
                  /usr/lib64/wine/x86_64-windows
            NO_CMAKE_FIND_ROOT_PATH REQUIRED)
else()
  set(TAMRIX_WIDL_TARGET --win32)
  find_path(TAMRIX_STDOLE_DIR stdole2.tlb
            PATHS /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/wine/i386-windows
                  /usr/lib32/wine/i386-windows
            NO_CMAKE_FIND_ROOT_PATH REQUIRED)
endif()

# tamrix_widl(<idl> <outdir>): <name>.h, <name>_i.c and <name>.tlb in <outdir>.
function(tamrix_widl idl outdir)
  get_filename_component(name ${idl} NAME_WE)
  set(h ${outdir}/${name}.h)
  set(c ${outdir}/${name}_i.c)
  set(tlb ${outdir}/${name}.tlb)
  set(local ${outdir}/${name}.idl)
  set(common ${TAMRIX_WIDL_TARGET} -I${TAMRIX_WINE_IDL_DIR} -L${TAMRIX_STDOLE_DIR})
  # The help strings are stored in the Japanese ANSI code page (932), as a Japanese
  # system reads them; the source file itself is UTF-8.
  add_custom_command(
    OUTPUT ${h} ${c} ${tlb}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${outdir}
    COMMAND iconv -f UTF-8 -t CP932 -o ${local} ${idl}
    COMMAND ${WIDL} ${common} -h -o ${h} ${local}
    COMMAND ${WIDL} ${common} -u -o ${c} ${local}
    COMMAND ${WIDL} ${common} -t -o ${tlb} ${local}
    DEPENDS ${idl}
    COMMENT "widl ${name}.idl"
    VERBATIM)
endfunction()
