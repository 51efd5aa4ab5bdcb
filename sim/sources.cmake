# The simulated platform's sources, for the host build and the fuzz build.
set(LINKBATCH_SIM_SOURCES
  console.cpp
  core.cpp
  crt.cpp
  filesystem.cpp
  fs_find.cpp
  fs_links.cpp
  fs_model.cpp
  fs_write.cpp
  fullpath.cpp
  host_files.cpp
  process.cpp
  process_threads.cpp)
list(TRANSFORM LINKBATCH_SIM_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
