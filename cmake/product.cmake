# The product's sources: the one list of them. Every build of the product
# takes it from here: the Windows executables, the embeddable clone library,
# the host library the tests link, the fuzz targets, and lint and coverage
# (through the files the host build writes from it).
set(LINKBATCH_PRODUCT_DIRS runner platform links clone)
# The command runner: the executable's entry point.
set(LINKBATCH_RUNNER_FILES
  runner/parse.cpp
  runner/results.cpp
  runner/runner.cpp)
# Everything else, which the clone engine embeds on its own.
set(LINKBATCH_ENGINE_FILES
  platform/full_path.cpp
  platform/probe.cpp
  links/hardlink.cpp
  links/junction.cpp
  links/mount.cpp
  links/reparse_query.cpp
  links/repoint_junction.cpp
  links/symlink.cpp
  clone/clone_directory.cpp
  clone/clone_tree.cpp
  clone/print_line.cpp
  clone/progress_sink.cpp)
set(LINKBATCH_PRODUCT_FILES ${LINKBATCH_RUNNER_FILES} ${LINKBATCH_ENGINE_FILES})

get_filename_component(LINKBATCH_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
list(TRANSFORM LINKBATCH_PRODUCT_FILES PREPEND ${LINKBATCH_ROOT}/ OUTPUT_VARIABLE LINKBATCH_PRODUCT_SOURCES)
list(TRANSFORM LINKBATCH_ENGINE_FILES PREPEND ${LINKBATCH_ROOT}/ OUTPUT_VARIABLE LINKBATCH_ENGINE_SOURCES)
