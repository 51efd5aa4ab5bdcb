# The shared support's sources, for the host build and the fuzz build.
set(LINKBATCH_SUPPORT_SOURCES fresh_process.cpp volume_snapshot.cpp)
list(TRANSFORM LINKBATCH_SUPPORT_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
