# Release build of the Windows executable: version resource and manifest,
# link settings that keep the 32-bit build loadable on Windows 2000, and the
# PE checks that prove it. Included at the end of the root CMakeLists, where
# the target `linkbatch` exists on Windows and `sim`/`linkbatch_host` exist on
# the host.

get_filename_component(LB_RELEASE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

# python3 that can import pefile (Debian's python3-pefile lives under the
# system interpreter, which a pyenv or venv python3 on PATH may not see).
function(lb_find_pefile_python out)
  set(candidates /usr/bin/python3)
  find_program(LB_PATH_PYTHON3 NAMES python3)
  if(LB_PATH_PYTHON3)
    list(APPEND candidates ${LB_PATH_PYTHON3})
  endif()
  foreach(py ${candidates})
    if(EXISTS ${py})
      execute_process(COMMAND ${py} -c "import pefile"
                      RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
      if(rc EQUAL 0)
        set(${out} ${py} PARENT_SCOPE)
        return()
      endif()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

lb_find_pefile_python(LB_PEFILE_PYTHON)

if(WIN32 AND TARGET linkbatch)
  enable_language(RC)

  set(LB_RC_FILE ${LB_RELEASE_ROOT}/res/linkbatch.rc)
  target_sources(linkbatch PRIVATE ${LB_RC_FILE})
  set_source_files_properties(${LB_RC_FILE} PROPERTIES
    INCLUDE_DIRECTORIES ${LB_RELEASE_ROOT}/res
    OBJECT_DEPENDS "${LB_RELEASE_ROOT}/res/linkbatch.manifest;${LB_RELEASE_ROOT}/res/version.h")

  if(MSVC)
    # The .rc embeds the manifest; a linker-made one would be a second
    # RT_MANIFEST #1 (or replace ours after mt runs).
    target_link_options(linkbatch PRIVATE /MANIFEST:NO)
  elseif(MINGW)
    # Some MinGW distributions link default-manifest.o into every program when
    # the file exists on the start-file path; with ours that is a second
    # RT_MANIFEST #1. An empty object of the same name found first through -B
    # takes its place.
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=default-manifest.o
                    OUTPUT_VARIABLE lb_default_manifest OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
    if(IS_ABSOLUTE "${lb_default_manifest}" AND EXISTS "${lb_default_manifest}")
      set(lb_nomanifest_dir ${CMAKE_BINARY_DIR}/no-default-manifest)
      file(MAKE_DIRECTORY ${lb_nomanifest_dir})
      file(WRITE ${lb_nomanifest_dir}/empty.c "")
      execute_process(COMMAND ${CMAKE_CXX_COMPILER} -x c -c ${lb_nomanifest_dir}/empty.c
                              -o ${lb_nomanifest_dir}/default-manifest.o
                      RESULT_VARIABLE lb_rc)
      if(NOT lb_rc EQUAL 0)
        message(FATAL_ERROR "cannot build the empty default-manifest.o replacement")
      endif()
      target_link_options(linkbatch PRIVATE -B${lb_nomanifest_dir}/)
    endif()

    # The shipped image carries no debug information: it is split off into
    # linkbatch.exe.debug beside the image, which the image names (with the
    # file's CRC) in a .gnu_debuglink section, so a debugger finds it for
    # crash analysis. -g adds the product's own code to it; it does not
    # change the code generated.
    if(NOT CMAKE_OBJCOPY)
      message(FATAL_ERROR "objcopy not found: cannot split the debug information off linkbatch.exe")
    endif()
    target_compile_options(linkbatch PRIVATE -g)
    # Two builds of one commit give the same bytes wherever they are built:
    # the debug information (and __FILE__) names the source folder
    # /linkbatch and the build folder /linkbatch/build, whatever they are
    # (the last matching map applies, so a build folder inside the source
    # maps as a build folder), and the image carries no link time stamp (its
    # TimeDateStamp is 0). The debug link's CRC, taken over the debug file,
    # is then the same too.
    target_compile_options(linkbatch PRIVATE
      -ffile-prefix-map=${LB_RELEASE_ROOT}=/linkbatch
      -ffile-prefix-map=${CMAKE_BINARY_DIR}=/linkbatch/build)
    target_link_options(linkbatch PRIVATE -Wl,--no-insert-timestamp)
    set(lb_image $<TARGET_FILE:linkbatch>)
    # objcopy stamps every PE file it writes with the time unless
    # SOURCE_DATE_EPOCH says otherwise; 0 keeps the linker's "no stamp".
    set(lb_objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY})
    add_custom_command(TARGET linkbatch POST_BUILD
      COMMAND ${lb_objcopy} --only-keep-debug ${lb_image} ${lb_image}.debug
      COMMAND ${lb_objcopy} --strip-all ${lb_image}
      COMMAND ${lb_objcopy} --add-gnu-debuglink=${lb_image}.debug ${lb_image}
      BYPRODUCTS ${CMAKE_BINARY_DIR}/linkbatch.exe.debug
      VERBATIM)

    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      # Windows 2000 is NT 5.0: its loader refuses an image whose subsystem
      # version is higher than the running system's, and current binutils
      # stamp 6.0 unless told otherwise.
      target_link_options(linkbatch PRIVATE
        -Wl,--major-subsystem-version,5,--minor-subsystem-version,0
        -Wl,--major-os-version,5,--minor-os-version,0)
    endif()
  endif()

  # The PE check runs on the cross-built image; it never executes it.
  enable_testing()
  if(LB_PEFILE_PYTHON)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      set(lb_arch x86)
    else()
      set(lb_arch x64)
    endif()
    add_test(NAME release_check_pe
             COMMAND ${LB_PEFILE_PYTHON} ${LB_RELEASE_ROOT}/tools/check_pe.py
                     --arch ${lb_arch} $<TARGET_FILE:linkbatch>)
  else()
    message(STATUS "python3 with pefile not found: release_check_pe test not registered")
  endif()
elseif(NOT WIN32 AND TARGET linkbatch_host)
  # The checker's own tests: pure functions over parsed data, plus small
  # images built with a MinGW cross compiler when one is installed.
  if(LB_PEFILE_PYTHON)
    add_test(NAME release_check_pe_selftest
             COMMAND ${LB_PEFILE_PYTHON} -m unittest discover -s ${LB_RELEASE_ROOT}/tools/pe/tests -v)
  endif()
endif()
